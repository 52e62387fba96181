#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "settings/core/SettingsBundle.h"

class PSViewController;
class SessionCollector;
class SettingsRootController;
class UINavigationController;

// One run of the Settings application: the root page over the loaded bundles, on a navigation
// controller of its own that it makes the application's root controller for its lifetime.
class SettingsApplication {
  public:
    explicit SettingsApplication(std::vector<SettingsBundle> bundles);
    ~SettingsApplication();
    SettingsApplication(const SettingsApplication&) = delete;
    SettingsApplication& operator=(const SettingsApplication&) = delete;

    const std::shared_ptr<SettingsRootController>& rootPage() const { return root_; }
    const std::shared_ptr<UINavigationController>& navigationController() const { return nav_; }
    std::shared_ptr<PSViewController> topPage() const;

    // Taps the first bundle's entry on the root page. Fails when another page is on top, when
    // no bundle was loaded, or when the page cannot be made.
    bool openFirstBundle(std::string* error);
    // Taps the entry of the bundle that `name` names: its directory's name without ".bundle"
    // or its label without spaces, in any case ("dataplan", "DataPlan", "bytarn"). Fails, naming
    // the installed pages, for an unknown name, and as openFirstBundle otherwise.
    bool openBundleNamed(const std::string& name, std::string* error);
    // Where an interactive session starts: the page `name` names when one is asked for (a
    // notification's action asks for the Data plan page); else, with one bundle installed, its
    // page; else the Settings list, which lists every bundle. Fails as openBundleNamed.
    bool openStartPage(const std::optional<std::string>& name, std::string* error);
    // UIApplication::openSettingsPath for this run: back to the Settings list, the bundle's
    // page, then the row whose identifier follows the "/", when one does.
    bool openSettingsPath(const std::string& path, std::string* error);

    // The preference domain of the bundle opened last, else of the first bundle.
    std::optional<std::string> preferenceDomain() const;

    // The session's usage collector, which outlives every page of the run.
    void setCollector(std::unique_ptr<SessionCollector> collector);
    SessionCollector* collector() const { return collector_.get(); }

  private:
    std::unique_ptr<SessionCollector> collector_;
    std::shared_ptr<SettingsRootController> root_;
    std::shared_ptr<UINavigationController> nav_;
};
