#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "host/preferences/PSSpecifier.h"
#include "settings/core/PageNavigator.h"

class PSViewController;
class SettingsApplication;

// What the desktop window does to the application's pages, with no toolkit in it: the page
// driving all front ends share (PageNavigator), and what the window must know to show the top
// page's list again: whether another page came on top, whether the list was rebuilt or lost rows
// with animation. The message says what the last action had to say.
class GuiNavigator : public PageNavigator {
  public:
    // What became of the top page's list since the window last looked.
    struct Changes {
        bool newPage = false;  // another page is on top
        bool rebuilt = false;  // the table recorded anything at all
        std::vector<std::shared_ptr<PSSpecifier>> removedAnimated;  // rows that left animated
    };

    explicit GuiNavigator(SettingsApplication& application);

    // Runs queued work (a timer, a notification) and reports what changed since the last look.
    Changes takeChanges();
    // What the last action or the queued work had to say, once; empty when nothing.
    std::string takeMessage();

  protected:
    void act(const std::function<void()>& action) override;

  private:
    std::weak_ptr<PSViewController> shownPage_;
    PSSpecifierList shownRows_;
};
