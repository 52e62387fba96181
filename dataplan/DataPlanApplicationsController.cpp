#include "dataplan/DataPlanApplicationsController.h"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <vector>

#include "dataplan/DataPlanController.h"
#include "host/activator/LAActivator.h"
#include "host/foundation/NSString.h"
#include "host/netpolicy/CycleUsage.h"
#include "host/preferences/ClassRegistry.h"

REGISTER_PAGE_CLASS(DataPlanApplicationsController);

namespace {

const char* const kListProperty = "planList";
const char* const kAlwaysAllowedList = "alwaysAllowed";

struct Application {
    std::string identifier;
    std::string title;
};

// The title every Bytarn page gives an application: its desktop entry's name, else its
// identifier.
std::string titleOf(const std::string& identifier) {
    auto title = LAActivator::sharedInstance().localizedTitleForListenerName(identifier);
    return title && !title->empty() ? *title : identifier;
}

}  // namespace

bool DataPlanApplicationsController::showsAlwaysAllowed() const {
    auto row = specifier();
    return row && row->stringProperty(kListProperty) == kAlwaysAllowedList;
}

bool DataPlanApplicationsController::isOn(const std::string& application) const {
    if (showsAlwaysAllowed()) return choices_.alwaysAllowed.count(application) > 0;
    return choices_.restricted.count(application) == 0;
}

const PSSpecifierList& DataPlanApplicationsController::specifiers() {
    if (_specifiers) return *_specifiers;
    auto self = std::static_pointer_cast<PSListController>(shared_from_this());
    const bool always = showsAlwaysAllowed();
    choices_ = RestrictionStore::read();
    PSSpecifierList rows;

    std::string problem;
    auto stored = readUsageApplications(usageDatabasePath(), &problem);
    // The applications the choices name count too, so that one no longer in the database can
    // still be turned back on.
    std::set<std::string> identifiers(choices_.restricted.begin(), choices_.restricted.end());
    identifiers.insert(choices_.alwaysAllowed.begin(), choices_.alwaysAllowed.end());
    if (stored) identifiers.insert(stored->begin(), stored->end());
    std::vector<Application> applications;
    for (const auto& identifier : identifiers)
        // The rows of other users' and shared traffic, and names the helper could not take,
        // cannot be kept off mobile data.
        if (!RestrictionStore::nameProblem(identifier))
            applications.push_back({identifier, titleOf(identifier)});
    std::sort(applications.begin(), applications.end(), [](const auto& a, const auto& b) {
        auto order = NSString::localizedCaseInsensitiveCompare(a.title, b.title);
        return order != NSOrderedSame ? order == NSOrderedAscending : a.identifier < b.identifier;
    });

    if (!stored) {
        rows.push_back(PSSpecifier::emptyGroupSpecifier());
        rows.push_back(
            PSSpecifier::preferenceSpecifierNamed("Cannot read the usage database: " + problem,
                                                  self, nullptr, nullptr, {}, PSStaticTextCell));
    }
    rows.push_back(PSSpecifier::groupSpecifierWithName(
        always ? "Keep mobile data while the limit pauses it" : "Mobile data"));
    if (applications.empty())
        rows.push_back(
            PSSpecifier::preferenceSpecifierNamed("No application has used the network yet", self,
                                                  nullptr, nullptr, {}, PSStaticTextCell));
    auto& activator = LAActivator::sharedInstance();
    for (const auto& application : applications) {
        auto row = PSSpecifier::preferenceSpecifierNamed(
            application.title, self,
            [](PSListController& page, const Value& value, const std::shared_ptr<PSSpecifier>& r) {
                page.setPreferenceValue(value, r);
            },
            [](PSListController& page, PSSpecifier& r) {
                return Value(
                    static_cast<DataPlanApplicationsController&>(page).isOn(r.identifier()));
            },
            {}, PSSwitchCell);
        row->setProperty(application.identifier, "id");
        if (auto icon = activator.smallIconForListenerName(application.identifier))
            row->setProperty(icon, "iconImage");
        rows.push_back(std::move(row));
    }
    if (!always) {
        rows.push_back(PSSpecifier::groupSpecifierWithName("While the limit pauses mobile data"));
        auto marked = PSSpecifier::preferenceSpecifierNamed(
            "Always allowed", self, nullptr,
            [](PSListController& page, PSSpecifier&) {
                auto& list = static_cast<DataPlanApplicationsController&>(page);
                std::size_t count = list.choices_.alwaysAllowed.size();
                return Value(std::to_string(count) +
                             (count == 1 ? " application" : " applications"));
            },
            "DataPlanApplicationsController", PSLinkListCell);
        marked->setProperty(std::string(kAlwaysAllowedList), kListProperty);
        rows.push_back(std::move(marked));
    }
    _specifiers = std::move(rows);
    return *_specifiers;
}

void DataPlanApplicationsController::setPreferenceValue(const Value& value,
                                                        const std::shared_ptr<PSSpecifier>& row) {
    const bool* on = value.boolean();
    if (!row || !on) return;
    std::string error;
    const std::string application = row->identifier();
    bool stored = showsAlwaysAllowed()
                      ? RestrictionStore::setAlwaysAllowed(application, *on, &error)
                      : RestrictionStore::setMobileData(application, *on, &error);
    if (!stored) throw std::runtime_error(error);
    // This page and those it was opened from show the choices, counted or switched.
    for (auto page = shared_from_this(); page; page = page->parentController()) {
        auto list = std::dynamic_pointer_cast<PSListController>(page);
        if (!std::dynamic_pointer_cast<DataPlanApplicationsController>(page) &&
            !std::dynamic_pointer_cast<DataPlanController>(page))
            break;
        list->reloadSpecifiers();
    }
}
