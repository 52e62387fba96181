#include "host/ui/UIKit.h"

#include "host/foundation/RunLoop.h"
#include "host/preferences/PSViewController.h"

std::shared_ptr<UIBarButtonItem> UIBarButtonItem::withImage(
    std::shared_ptr<UIImage> image, UIBarButtonItemStyle style,
    const std::shared_ptr<PSViewController>& target, std::string actionName, Action action) {
    auto item = std::make_shared<UIBarButtonItem>();
    item->image_ = std::move(image);
    item->style_ = style;
    item->target_ = target;
    item->actionName_ = std::move(actionName);
    item->action_ = std::move(action);
    return item;
}

std::shared_ptr<UIBarButtonItem> UIBarButtonItem::withTitle(
    std::string title, UIBarButtonItemStyle style, const std::shared_ptr<PSViewController>& target,
    std::string actionName, Action action) {
    auto item = withImage(nullptr, style, target, std::move(actionName), std::move(action));
    item->title_ = std::move(title);
    return item;
}

bool UIBarButtonItem::press() {
    auto owner = target_.lock();
    if (!owner || !action_) return false;
    action_(*owner, *this);
    return true;
}

void UINavigationController::pushViewController(std::shared_ptr<PSViewController> page,
                                                bool animated) {
    page->setNavigationController(shared_from_this());
    stack_.push_back(page);
    page->viewWillAppear(animated);
}

std::shared_ptr<PSViewController> UINavigationController::popViewControllerAnimated(bool) {
    if (stack_.size() < 2) return nullptr;
    auto page = std::move(stack_.back());
    stack_.pop_back();
    // The page goes once the main queue moves on, as the animation away from it ends; a page
    // that pops itself from one of its own actions is still whole when that action returns.
    RunLoop::main().perform([keep = page] {});
    return page;
}

UIApplication& UIApplication::sharedApplication() {
    static UIApplication application;
    return application;
}
