#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "data/BytarnComparisons.h"
#include "data/UsageQuery.h"
#include "host/foundation/Value.h"
#include "host/preferences/PSListController.h"
#include "root/AppEntryPage.h"

class BytarnEntry;
class NSDateFormatter;
class NSTimer;
class UIImage;

// The root usage page: the applications with their usage for the reporting period, a summary
// group with the totals, and the settings section that the settings button shows and hides.
//
// The page is rebuilt whole, from a fresh query, on every reload; rows are never cached between
// builds.
class BytarnController : public PSListController, public DeviceFilterOwner {
  public:
    BytarnController();
    ~BytarnController() override;

    // The page's list. The first request loads the settings rows, the stored preferences and the
    // network icons; every request with no list builds it.
    const PSSpecifierList& specifiers() override;
    // Builds the whole list.
    void setupSpecifiers();
    // The first request's settings: the settings rows from the bundle's settings plist and the
    // preferences they store (sort order, device filter, period and its dates). `bytarn report`
    // reads its defaults through this, from a page that is never shown.
    void loadSettings();
    // The row of one application.
    std::shared_ptr<PSSpecifier> link(const std::string& bundleIdentifier,
                                      const std::shared_ptr<BytarnEntry>& entry);
    // The icon that stands for the current device filter.
    std::shared_ptr<UIImage> iconForDevices() const;
    // Reloads the page, then refreshes an open application detail page.
    void reloadSpecifiers() override;

    // Usage data.
    // Reads the database for the reporting period. A failed open or query keeps the previous
    // records (and logs why).
    void reloadApps();
    // The value of an application row: its filtered usage from the latest query.
    std::string usage(const PSSpecifier& row) const;

    // Reporting period.
    std::optional<std::string> startDateStr() const;
    std::optional<std::string> endDateStr() const;
    std::optional<std::string> localizedStartDateStr() const;
    std::optional<std::string> localizedEndDateStr() const;
    // Takes the period by value: callers pass the page's own period field.
    std::string combinedDateStrForPeriod(std::optional<std::string> period);
    std::optional<std::string> periodStr();
    std::string settingsSummaryPrefix() const;
    std::string settingsSummarySuffix();

    // Settings.
    // The settings row with that key, whether or not the section is shown.
    std::shared_ptr<PSSpecifier> specifierForKey(const std::string& key) const;
    Value readPreferenceValueForKey(const std::string& key);
    // Stores a value by key, past the page's own rules: no period rule, no reload.
    void setPreferenceValue(const Value& value, const std::string& key);
    // A changed setting: store it, mirror it, make the period "Custom" when a date changed (and
    // store the other date as shown when none is stored), and reload once.
    void setPreferenceValue(const Value& value, const std::shared_ptr<PSSpecifier>& row) override;
    // Sets the property that a preference key names; any other key changes nothing.
    void setValueForKey(const Value& value, const std::string& key);
    // Shows or hides the settings section (the settings button's action; the sender is unused).
    void settingsClicked(UIBarButtonItem* sender);
    // Hands the message to the first application detail page on the navigation stack, from the
    // bottom up, with its application's record from the latest query (or nothing).
    void performSelectorInAppEntryController(AppEntrySelector selector);

    // Collector link.
    // Asks the collector to save its counters.
    void flush();
    // Application rows offer delete; deleting one asks the collector to delete its records.
    UITableViewCellEditingStyle tableView(UITableView& table, NSIndexPath indexPath) override;
    void tableView(UITableView& table, UITableViewCellEditingStyle style,
                   NSIndexPath indexPath) override;

    // Properties.
    const std::optional<AppUsage>& apps() const { return apps_; }
    const std::optional<std::string>& comparator() const { return comparator_; }
    const std::optional<std::string>& devices() const override { return devices_; }
    const std::optional<std::string>& period() const { return period_; }
    const std::optional<std::string>& startDate() const { return startDate_; }
    const std::optional<std::string>& endDate() const { return endDate_; }
    const std::optional<std::string>& totalStr() const { return totalStr_; }
    const std::optional<std::string>& wifiStr() const { return wifiStr_; }
    const std::optional<std::string>& cellularStr() const { return cellularStr_; }
    void setComparator(std::optional<std::string> v) { comparator_ = std::move(v); }
    void setDevices(std::optional<std::string> v) { devices_ = std::move(v); }
    void setPeriod(std::optional<std::string> v) { period_ = std::move(v); }
    void setStartDate(std::optional<std::string> v) { startDate_ = std::move(v); }
    void setEndDate(std::optional<std::string> v) { endDate_ = std::move(v); }
    void setTotalStr(std::optional<std::string> v) { totalStr_ = std::move(v); }
    void setWifiStr(std::optional<std::string> v) { wifiStr_ = std::move(v); }
    void setCellularStr(std::optional<std::string> v) { cellularStr_ = std::move(v); }
    const std::optional<PSSpecifierList>& settingsSpecifiers() const { return settingsSpecifiers_; }
    bool settingsVisible() const { return settingsVisible_; }
    const std::shared_ptr<UIImage>& cellularImage() const { return cellularImage_; }
    const std::shared_ptr<UIImage>& wifiImage() const { return wifiImage_; }
    const std::shared_ptr<NSTimer>& flushTimer() const { return flushTimer_; }

  private:
    std::shared_ptr<BytarnController> self();
    std::shared_ptr<UIImage> bundleImage(const std::string& name) const;
    // The settings section: the settings rows less the first two, the very same objects.
    PSSpecifierList settingsSection() const;
    void createSettingsButton();
    // The observer of the change notification, one "save" at once and the save timer.
    void startCollectorLink();
    void endCollectorLink();
    // The row of a table position: the section's group row, then its rows one by one.
    std::shared_ptr<PSSpecifier> specifierAtIndexPath(NSIndexPath indexPath) const;

    // Which records an application row was made from: the query (apps_ at that time) and its
    // record there. While apps_ is unchanged a value read takes the record from here instead of
    // finding the identifier among every application's records.
    struct LinkedRecord {
        std::uint64_t query = 0;
        const BytarnEntry* record = nullptr;
    };
    // Tells apart the states of apps_: changes at every successful query and every delete.
    std::uint64_t appsQuery_ = 0;

    std::optional<AppUsage> apps_;
    std::shared_ptr<NSTimer> flushTimer_;
    std::optional<std::string> comparator_;
    std::optional<std::string> devices_;
    std::optional<std::string> period_;
    std::optional<std::string> startDate_;
    std::optional<std::string> endDate_;
    std::optional<std::string> totalStr_;
    std::optional<std::string> wifiStr_;
    std::optional<std::string> cellularStr_;
    std::optional<PSSpecifierList> settingsSpecifiers_;
    bool settingsVisible_ = false;
    std::shared_ptr<UIImage> cellularImage_;
    std::shared_ptr<UIImage> wifiImage_;
};

// A new period date formatter: locale "en_US_POSIX", pattern "yyyy-MM-dd", the device's time
// zone. Every stored date string is written and read through one of these, made anew each time.
std::unique_ptr<NSDateFormatter> periodDateFormatter();
