#include "settings/core/SettingsRootController.h"

#include "host/foundation/NSBundle.h"
#include "host/preferences/ClassRegistry.h"
#include "host/ui/UIImage.h"

namespace {
// The property under which an entry keeps the bundle it opens.
const char* const kBundleProperty = "bundle";
}  // namespace

SettingsRootController::SettingsRootController(std::vector<SettingsBundle> bundles)
    : bundles_(std::move(bundles)) {
    setTitle("Settings");
}

const PSSpecifierList& SettingsRootController::specifiers() {
    if (_specifiers) return *_specifiers;
    auto self = std::static_pointer_cast<PSListController>(shared_from_this());
    PSSpecifierList rows{PSSpecifier::emptyGroupSpecifier()};
    for (const auto& bundle : bundles_) {
        auto row = PSSpecifier::preferenceSpecifierNamed(bundle.label, self, nullptr, nullptr,
                                                         bundle.principalClass, PSLinkCell);
        if (bundle.icon) row->setProperty(bundle.icon, "iconImage");
        row->setProperty(bundle.bundle, kBundleProperty);
        rows.push_back(std::move(row));
    }
    _specifiers = std::move(rows);
    return *_specifiers;
}

const SettingsBundle* SettingsRootController::bundleOfEntry(const PSSpecifier& row) const {
    auto held = row.property<std::shared_ptr<NSBundle>>(kBundleProperty);
    if (!held) return nullptr;
    for (const auto& bundle : bundles_)
        if (bundle.bundle == *held) return &bundle;
    return nullptr;
}

bool SettingsRootController::didSelectSpecifier(const std::shared_ptr<PSSpecifier>& row,
                                                std::string* error) {
    const SettingsBundle* bundle = row ? bundleOfEntry(*row) : nullptr;
    if (!bundle) return PSListController::didSelectSpecifier(row, error);

    auto fail = [&](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    auto page = ClassRegistry::shared().createPage(bundle->principalClass);
    if (!page) return fail("no page class named " + bundle->principalClass);
    auto nav = navigationController();
    if (!nav) return fail("the Settings page is not on a navigation stack");
    // The bundle's page finds its resources through the bundle and its own entry (with the
    // entry's icon) through its specifier.
    page->setBundle(bundle->bundle);
    page->setSpecifier(row);
    page->setParentController(shared_from_this());
    page->setTitle(bundle->label);
    nav->pushViewController(page, true);
    opened_ = bundle;
    return true;
}
