#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/ui/UIView.h"

class UIImage;
class PSViewController;

enum UIBarButtonItemStyle {
    UIBarButtonItemStylePlain = 0,
    UIBarButtonItemStyleBordered = 1,
    UIBarButtonItemStyleDone = 2,
};

enum UITableViewCellEditingStyle {
    UITableViewCellEditingStyleNone = 0,
    UITableViewCellEditingStyleDelete = 1,
    UITableViewCellEditingStyleInsert = 2,
};

enum UITableViewScrollPosition {
    UITableViewScrollPositionNone = 0,
    UITableViewScrollPositionTop = 1,
    UITableViewScrollPositionMiddle = 2,
    UITableViewScrollPositionBottom = 3,
};

struct NSIndexPath {
    int section = 0;
    int row = 0;
    bool operator==(const NSIndexPath&) const = default;
};

// A button of a navigation bar. Its target is held weakly: a button never keeps a page alive.
class UIBarButtonItem {
  public:
    // The action runs on the target with the button as sender.
    using Action = std::function<void(PSViewController& target, UIBarButtonItem& sender)>;

    static std::shared_ptr<UIBarButtonItem> withImage(
        std::shared_ptr<UIImage> image, UIBarButtonItemStyle style,
        const std::shared_ptr<PSViewController>& target, std::string actionName, Action action);
    static std::shared_ptr<UIBarButtonItem> withTitle(
        std::string title, UIBarButtonItemStyle style,
        const std::shared_ptr<PSViewController>& target, std::string actionName, Action action);

    const std::optional<std::string>& title() const { return title_; }
    const std::shared_ptr<UIImage>& image() const { return image_; }
    UIBarButtonItemStyle style() const { return style_; }
    void setStyle(UIBarButtonItemStyle style) { style_ = style; }
    std::shared_ptr<PSViewController> target() const { return target_.lock(); }
    const std::string& actionName() const { return actionName_; }

    // What a tap does: the action on the target, when the target still lives. Returns whether
    // anything ran.
    bool press();

  private:
    std::optional<std::string> title_;
    std::shared_ptr<UIImage> image_;
    UIBarButtonItemStyle style_ = UIBarButtonItemStylePlain;
    std::weak_ptr<PSViewController> target_;
    std::string actionName_;
    Action action_;
};

// A page's title and bar buttons.
class UINavigationItem {
  public:
    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    const std::shared_ptr<UIBarButtonItem>& leftBarButtonItem() const { return left_; }
    const std::shared_ptr<UIBarButtonItem>& rightBarButtonItem() const { return right_; }
    void setLeftBarButtonItem(std::shared_ptr<UIBarButtonItem> item) { left_ = std::move(item); }
    void setRightBarButtonItem(std::shared_ptr<UIBarButtonItem> item) { right_ = std::move(item); }

  private:
    std::string title_;
    std::shared_ptr<UIBarButtonItem> left_;
    std::shared_ptr<UIBarButtonItem> right_;
};

// The table of a list page. The page's list is the model; the table records what it was asked to
// show, so that a front end can animate it and tests can check it.
class UITableView : public UIView {
  public:
    struct Update {
        enum Kind { Reload, Insert, Remove, Scroll };
        Kind kind;
        std::vector<int> indices;  // list indices of the rows inserted or removed
        bool animated = false;
        NSIndexPath indexPath;  // for Scroll
        bool operator==(const Update&) const = default;
    };

    void reloadData() { record({Update::Reload, {}, false, {}}); }
    void recordInsert(std::vector<int> indices, bool animated) {
        record({Update::Insert, std::move(indices), animated, {}});
    }
    void recordRemove(std::vector<int> indices, bool animated) {
        record({Update::Remove, std::move(indices), animated, {}});
    }
    void scrollToRowAtIndexPath(NSIndexPath path, UITableViewScrollPosition, bool animated) {
        record({Update::Scroll, {}, animated, path});
    }

    bool isEditing() const { return editing_; }
    void setEditing(bool editing) { editing_ = editing; }

    // Updates since the last call, oldest first.
    std::vector<Update> takeUpdates() { return std::exchange(updates_, {}); }

  private:
    void record(Update u) {
        updates_.push_back(std::move(u));
        if (updates_.size() > kMaxKept) updates_.erase(updates_.begin());
    }
    static constexpr size_t kMaxKept = 256;
    std::vector<Update> updates_;
    bool editing_ = false;
};

// A stack of pages. Pages are shared: the stack holds them, and a popped page is released once
// the pop's animation (the main queue) has moved on, never in the middle of its own action.
class UINavigationController : public std::enable_shared_from_this<UINavigationController> {
  public:
    void pushViewController(std::shared_ptr<PSViewController> page, bool animated);
    // The page popped, or nothing when only the bottom page is left.
    std::shared_ptr<PSViewController> popViewControllerAnimated(bool animated);

    // The pages from the bottom up.
    const std::vector<std::shared_ptr<PSViewController>>& childViewControllers() const {
        return stack_;
    }
    std::shared_ptr<PSViewController> topViewController() const {
        return stack_.empty() ? nullptr : stack_.back();
    }

  private:
    std::vector<std::shared_ptr<PSViewController>> stack_;
};

// The Settings application itself, as the pages see it.
class UIApplication {
  public:
    static UIApplication& sharedApplication();

    std::shared_ptr<UINavigationController> rootController() const { return root_; }
    void setRootController(std::shared_ptr<UINavigationController> root) {
        root_ = std::move(root);
    }

    bool isNetworkActivityIndicatorVisible() const { return activityIndicator_; }
    void setNetworkActivityIndicatorVisible(bool visible) { activityIndicator_ = visible; }

    // Opens a page of any loaded bundle, as the Settings application resolves it: "BUNDLE"
    // (a bundle's name, "bytarn", "dataplan") or "BUNDLE/ROW", which then taps the row of that
    // identifier on the bundle's page. So one bundle reaches another's pages by name, never by
    // its classes. False, with the reason, when it cannot, or when no application handles it.
    using SettingsPathHandler = std::function<bool(const std::string& path, std::string* error)>;
    void setSettingsPathHandler(SettingsPathHandler handler) { pathHandler_ = std::move(handler); }
    bool openSettingsPath(const std::string& path, std::string* error) {
        if (pathHandler_) return pathHandler_(path, error);
        if (error) *error = "no Settings application opens " + path;
        return false;
    }

  private:
    std::shared_ptr<UINavigationController> root_;
    SettingsPathHandler pathHandler_;
    bool activityIndicator_ = false;
};
