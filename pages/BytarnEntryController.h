#pragma once

#include <memory>
#include <string>

#include "host/preferences/PSListController.h"
#include "root/AppEntryPage.h"

class BytarnController;

// One application's traffic for the reporting period: its total and, under "Breakdown", the
// cellular and Wi-Fi bytes that are not zero. It reads everything from the row it was opened from
// and from the root page below it, never from the database; the root page keeps it current.
class BytarnEntryController : public PSListController, public AppEntryPage {
  public:
    ~BytarnEntryController() override = default;

    // A row of the breakdown: "Cellular" or "Wi-Fi".
    std::shared_ptr<PSSpecifier> usageSpecifier(const std::string& name);
    // Takes the application's fresh record (or nothing) and rebuilds.
    void reloadWithEntry(std::shared_ptr<BytarnEntry> entry) override;
    // The root page's settings section less its last two rows: the very same row objects.
    PSSpecifierList settingsSpecifiers() const;
    const PSSpecifierList& specifiers() override;
    // Shows or hides the settings rows after the root page flipped its flag.
    void settingsClicked() override;
    // The value of a breakdown row.
    std::string usage(const PSSpecifier& row) const;
    // The value of the total row: Wi-Fi plus cellular, whatever the device filter.
    std::string total() const;
    const std::shared_ptr<PSSpecifier>& originalSpecifier() const override {
        return originalSpecifier_;
    }

  private:
    std::shared_ptr<BytarnController> root() const;
    std::shared_ptr<BytarnEntryController> self();

    std::shared_ptr<PSSpecifier> originalSpecifier_;
};
