#pragma once

#include <memory>
#include <string>

#include "host/ui/UIKit.h"

class NSBundle;
class PSSpecifier;

// A page of the Settings application. Pages are shared objects: the navigation stack holds them,
// and every back-reference to a page (its parent, a row's target, a button's target) is weak.
// A page's destructor is its teardown.
class PSViewController : public std::enable_shared_from_this<PSViewController> {
  public:
    PSViewController() = default;
    virtual ~PSViewController() = default;
    PSViewController(const PSViewController&) = delete;
    PSViewController& operator=(const PSViewController&) = delete;

    // The class's own name, as the class registry and the front ends know it.
    std::string className() const;

    // The row that opened this page.
    const std::shared_ptr<PSSpecifier>& specifier() const { return specifier_; }
    virtual void setSpecifier(std::shared_ptr<PSSpecifier> specifier) {
        specifier_ = std::move(specifier);
    }

    // The page below this one, when it still lives.
    std::shared_ptr<PSViewController> parentController() const { return parent_.lock(); }
    void setParentController(const std::shared_ptr<PSViewController>& parent) { parent_ = parent; }

    std::shared_ptr<UINavigationController> navigationController() const {
        return navigation_.lock();
    }
    void setNavigationController(const std::shared_ptr<UINavigationController>& nav) {
        navigation_ = nav;
    }

    UINavigationItem& navigationItem() { return navigationItem_; }
    const UINavigationItem& navigationItem() const { return navigationItem_; }
    const std::string& title() const { return navigationItem_.title(); }
    void setTitle(std::string title) { navigationItem_.setTitle(std::move(title)); }

    // The page's view, made on first use (the size of the screen below the navigation bar).
    const std::shared_ptr<UIView>& view();
    static constexpr CGFloat kScreenWidth = 320;
    static constexpr CGFloat kScreenHeight = 416;

    // The page is about to be shown (pushed): a list page builds its rows here.
    virtual void viewWillAppear(bool animated) { (void)animated; }

    // The bundle whose resources the page uses.
    const std::shared_ptr<NSBundle>& bundle() const { return bundle_; }
    void setBundle(std::shared_ptr<NSBundle> bundle) { bundle_ = std::move(bundle); }

  protected:
    // Fills a new view with the page's content; the base leaves it empty.
    virtual void loadView() {}

  private:
    std::shared_ptr<UIView> view_;
    std::shared_ptr<PSSpecifier> specifier_;
    std::weak_ptr<PSViewController> parent_;
    std::weak_ptr<UINavigationController> navigation_;
    UINavigationItem navigationItem_;
    std::shared_ptr<NSBundle> bundle_;
};
