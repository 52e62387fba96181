#pragma once

#include <memory>

class BytarnEntry;
class PSSpecifier;

// What the root page asks of an open application detail page: to take its application's fresh
// record after a reload, and to show or hide its copy of the settings section.
class AppEntryPage {
  public:
    virtual ~AppEntryPage() = default;
    // The application row the page was opened from.
    virtual const std::shared_ptr<PSSpecifier>& originalSpecifier() const = 0;
    virtual void reloadWithEntry(std::shared_ptr<BytarnEntry> entry) = 0;
    virtual void settingsClicked() = 0;
};

// The messages the root page forwards to a detail page.
enum class AppEntrySelector { reloadWithEntry, settingsClicked };
