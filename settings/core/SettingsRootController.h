#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/preferences/PSListController.h"
#include "settings/core/SettingsBundle.h"

// The Settings application's first page: one entry per loaded bundle. A tap on an entry opens
// the bundle's principal page with the entry as its specifier.
class SettingsRootController : public PSListController {
  public:
    explicit SettingsRootController(std::vector<SettingsBundle> bundles);

    // One group, then the bundles' entries in load order.
    const PSSpecifierList& specifiers() override;
    bool didSelectSpecifier(const std::shared_ptr<PSSpecifier>& row, std::string* error) override;

    const std::vector<SettingsBundle>& bundles() const { return bundles_; }
    // The bundle whose page was opened last, or nullptr before any.
    const SettingsBundle* openedBundle() const { return opened_; }

    // The bundle an entry opens, or nullptr for a row that is no bundle's entry.
    const SettingsBundle* bundleOfEntry(const PSSpecifier& row) const;

  private:
    std::vector<SettingsBundle> bundles_;
    const SettingsBundle* opened_ = nullptr;
};
