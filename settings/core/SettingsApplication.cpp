#include "settings/core/SettingsApplication.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "host/foundation/NSBundle.h"

#include "host/preferences/PSListController.h"
#include "host/ui/UIKit.h"
#include "settings/core/SessionCollector.h"
#include "settings/core/SettingsRootController.h"

SettingsApplication::SettingsApplication(std::vector<SettingsBundle> bundles)
    : root_(std::make_shared<SettingsRootController>(std::move(bundles))),
      nav_(std::make_shared<UINavigationController>()) {
    nav_->pushViewController(root_, false);
    UIApplication::sharedApplication().setRootController(nav_);
    UIApplication::sharedApplication().setSettingsPathHandler(
        [this](const std::string& path, std::string* error) {
            return openSettingsPath(path, error);
        });
}

SettingsApplication::~SettingsApplication() {
    // The stack belongs to this run: its pages must not live on through the shared application.
    auto& application = UIApplication::sharedApplication();
    if (application.rootController() == nav_) {
        application.setRootController(nullptr);
        application.setSettingsPathHandler(nullptr);
    }
}

std::shared_ptr<PSViewController> SettingsApplication::topPage() const {
    return nav_->topViewController();
}

bool SettingsApplication::openFirstBundle(std::string* error) {
    auto fail = [&](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    if (topPage() != root_)
        return fail("open works on the Settings page, and another page is open");
    for (const auto& row : root_->specifiers()) {
        if (row->cellType() != PSGroupCell) return root_->didSelectSpecifier(row, error);
    }
    return fail("no bundle was loaded, so there is nothing to open");
}

namespace {

// A page name as the command line compares it: letters and digits only, in lower case.
std::string pageKey(const std::string& text) {
    std::string key;
    for (unsigned char c : text)
        if (std::isalnum(c)) key += static_cast<char>(std::tolower(c));
    return key;
}

}  // namespace

bool SettingsApplication::openBundleNamed(const std::string& name, std::string* error) {
    auto fail = [&](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    if (topPage() != root_)
        return fail("open works on the Settings page, and another page is open");
    std::string wanted = pageKey(name), known;
    for (const auto& row : root_->specifiers()) {
        const SettingsBundle* bundle = root_->bundleOfEntry(*row);
        if (!bundle) continue;
        std::string path = bundle->bundle->bundlePath();
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        std::string directory = std::filesystem::path(path).stem().string();
        if (!wanted.empty() && (pageKey(directory) == wanted || pageKey(row->name()) == wanted))
            return root_->didSelectSpecifier(row, error);
        known += (known.empty() ? "" : ", ") + pageKey(directory);
    }
    return fail("no page named \"" + name + "\" (pages: " + (known.empty() ? "none" : known) + ")");
}

bool SettingsApplication::openStartPage(const std::optional<std::string>& name,
                                        std::string* error) {
    if (name) return openBundleNamed(*name, error);
    if (root_->bundles().size() == 1) return openFirstBundle(error);
    return true;
}

bool SettingsApplication::openSettingsPath(const std::string& path, std::string* error) {
    size_t slash = path.find('/');
    std::string bundle = path.substr(0, slash);
    std::string rowIdentifier = slash == std::string::npos ? "" : path.substr(slash + 1);
    // A popped page lives on until the main queue moves on, so the page that asked is whole
    // when this returns.
    while (nav_->childViewControllers().size() > 1) nav_->popViewControllerAnimated(false);
    if (!openBundleNamed(bundle, error)) return false;
    if (rowIdentifier.empty()) return true;
    auto page = std::dynamic_pointer_cast<PSListController>(topPage());
    if (page)
        for (const auto& row : page->specifiers())
            if (row->identifier() == rowIdentifier) return page->didSelectSpecifier(row, error);
    if (error)
        *error = "the " + (page ? page->title() : bundle) + " page shows no row for " +
                 rowIdentifier + " now";
    return false;
}

std::optional<std::string> SettingsApplication::preferenceDomain() const {
    const SettingsBundle* bundle = root_->openedBundle();
    if (!bundle && !root_->bundles().empty()) bundle = &root_->bundles().front();
    if (!bundle || bundle->identifier.empty()) return std::nullopt;
    return bundle->identifier;
}

void SettingsApplication::setCollector(std::unique_ptr<SessionCollector> collector) {
    collector_ = std::move(collector);
}
