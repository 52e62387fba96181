#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

// Geometry in points, as 32-bit floats.
using CGFloat = float;

struct CGPoint {
    CGFloat x = 0;
    CGFloat y = 0;
    bool operator==(const CGPoint&) const = default;
};

struct CGSize {
    CGFloat width = 0;
    CGFloat height = 0;
    bool operator==(const CGSize&) const = default;
};

struct CGRect {
    CGPoint origin;
    CGSize size;
    bool operator==(const CGRect&) const = default;
    CGFloat minX() const { return origin.x; }
    CGFloat maxX() const { return origin.x + size.width; }
};

inline CGRect CGRectMake(CGFloat x, CGFloat y, CGFloat width, CGFloat height) {
    return {{x, y}, {width, height}};
}

// A colour, by name and components.
struct UIColor {
    std::string name;
    CGFloat red = 0, green = 0, blue = 0, alpha = 1;
    bool operator==(const UIColor&) const = default;
    static UIColor blackColor() { return {"black", 0, 0, 0, 1}; }
    static UIColor whiteColor() { return {"white", 1, 1, 1, 1}; }
    static UIColor lightGrayColor() { return {"lightGray", 2.0f / 3, 2.0f / 3, 2.0f / 3, 1}; }
    static UIColor clearColor() { return {"clear", 0, 0, 0, 0}; }
};

// How a view's rectangle is drawn: its border and its shadow.
struct CALayer {
    CGFloat borderWidth = 0;
    std::optional<UIColor> borderColor;
    std::optional<UIColor> shadowColor;
    float shadowOpacity = 0;
    CGFloat shadowRadius = 3;
    CGSize shadowOffset{0, -3};
};

// A rectangle on screen, in a tree of views. A view owns its subviews; the superview is a weak
// back-reference.
class UIView : public std::enable_shared_from_this<UIView> {
  public:
    UIView() = default;
    explicit UIView(CGRect frame) : frame_(frame) {}
    virtual ~UIView() = default;
    UIView(const UIView&) = delete;
    UIView& operator=(const UIView&) = delete;

    const CGRect& frame() const { return frame_; }
    virtual void setFrame(CGRect frame) { frame_ = frame; }
    // The centre of the frame, in the superview's coordinates.
    CGPoint center() const {
        return {frame_.origin.x + frame_.size.width / 2, frame_.origin.y + frame_.size.height / 2};
    }
    void setCenter(CGPoint center) {
        frame_.origin = {center.x - frame_.size.width / 2, center.y - frame_.size.height / 2};
    }

    std::shared_ptr<UIView> superview() const { return superview_.lock(); }
    const std::vector<std::shared_ptr<UIView>>& subviews() const { return subviews_; }
    void addSubview(const std::shared_ptr<UIView>& view);
    void removeFromSuperview();

    // Places the view's content; the base does nothing.
    virtual void layoutSubviews() {}

    CALayer& layer() { return layer_; }
    const CALayer& layer() const { return layer_; }
    const std::optional<UIColor>& backgroundColor() const { return backgroundColor_; }
    void setBackgroundColor(std::optional<UIColor> color) { backgroundColor_ = std::move(color); }

    // The first view of the tree below this one (this one included) of the given class.
    template <class V>
    std::shared_ptr<V> findSubview() {
        if (auto self = std::dynamic_pointer_cast<V>(shared_from_this())) return self;
        for (const auto& sub : subviews_)
            if (auto found = sub->findSubview<V>()) return found;
        return nullptr;
    }

  private:
    CGRect frame_;
    CALayer layer_;
    std::optional<UIColor> backgroundColor_;
    std::weak_ptr<UIView> superview_;
    std::vector<std::shared_ptr<UIView>> subviews_;
};

// Text measure. Every character takes the same advance, half the font size, and an East Asian
// wide character twice that: deterministic, so layouts can be checked to the point, and a
// terminal can map points to columns by that one advance.
namespace TextMetrics {
CGFloat advance(CGFloat fontSize);
// Display cells of the text: 1 per character, 2 per wide one, 0 for combining marks.
int cells(const std::string& utf8);
CGFloat widthOfText(const std::string& utf8, CGFloat fontSize);
CGFloat lineHeight(CGFloat fontSize);
}  // namespace TextMetrics

// One line of text.
class UILabel : public UIView {
  public:
    static constexpr CGFloat kDefaultFontSize = 17;
    // How far a label that adjusts its font to its width may shrink it.
    static constexpr CGFloat kMinimumScale = 0.5f;

    const std::optional<std::string>& text() const { return text_; }
    void setText(std::optional<std::string> text) { text_ = std::move(text); }
    CGFloat fontSize() const { return fontSize_; }
    void setFontSize(CGFloat size) { fontSize_ = size; }

    bool adjustsFontSizeToFitWidth() const { return adjusts_; }
    void setAdjustsFontSizeToFitWidth(bool adjusts) { adjusts_ = adjusts; }

    // The font size the text is drawn in: the label's own, or smaller when the label adjusts it
    // to fit its width, down to kMinimumScale of it.
    CGFloat effectiveFontSize() const;
    // Whether the text, at its effective size, is wider than the label.
    bool isTruncated() const;

    // Resizes the frame to fit the text on one line, keeping its origin.
    void sizeToFit();

  private:
    std::optional<std::string> text_;
    CGFloat fontSize_ = kDefaultFontSize;
    bool adjusts_ = false;
};
