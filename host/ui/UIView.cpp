#include "host/ui/UIView.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cmath>

void UIView::addSubview(const std::shared_ptr<UIView>& view) {
    if (!view || view.get() == this) return;
    view->removeFromSuperview();
    view->superview_ = weak_from_this();
    subviews_.push_back(view);
}

void UIView::removeFromSuperview() {
    auto parent = superview_.lock();
    superview_.reset();
    if (!parent) return;
    std::erase_if(parent->subviews_, [this](const auto& v) { return v.get() == this; });
}

namespace TextMetrics {

CGFloat advance(CGFloat fontSize) {
    return fontSize / 2;
}

int cells(const std::string& utf8) {
    int total = 0;
    int32_t i = 0;
    const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
    const auto length = static_cast<int32_t>(utf8.size());
    while (i < length) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) {
            ++total;  // a malformed byte shows as one replacement character
            continue;
        }
        auto category = u_charType(c);
        if (category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK ||
            category == U_FORMAT_CHAR)
            continue;
        auto width = u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
        total += (width == U_EA_WIDE || width == U_EA_FULLWIDTH) ? 2 : 1;
    }
    return total;
}

CGFloat widthOfText(const std::string& utf8, CGFloat fontSize) {
    return static_cast<CGFloat>(cells(utf8)) * advance(fontSize);
}

CGFloat lineHeight(CGFloat fontSize) {
    return std::ceil(fontSize * 1.2f);
}

}  // namespace TextMetrics

CGFloat UILabel::effectiveFontSize() const {
    if (!adjusts_ || !text_) return fontSize_;
    CGFloat needed = TextMetrics::widthOfText(*text_, fontSize_);
    if (needed <= frame().size.width || needed <= 0) return fontSize_;
    CGFloat scale = std::max(kMinimumScale, std::max(0.0f, frame().size.width) / needed);
    return fontSize_ * scale;
}

bool UILabel::isTruncated() const {
    if (!text_) return false;
    return TextMetrics::widthOfText(*text_, effectiveFontSize()) > frame().size.width;
}

void UILabel::sizeToFit() {
    CGRect f = frame();
    f.size.width = text_ ? TextMetrics::widthOfText(*text_, fontSize_) : 0;
    f.size.height = TextMetrics::lineHeight(fontSize_);
    setFrame(f);
}
