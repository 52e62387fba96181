// An application's desktop entry with untrusted contents, looked up the way a page asks for a
// row's title and icon. The first byte picks the locale the title is localized for.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "host/activator/LAActivator.h"
#include "host/foundation/Locale.h"
#include "host/foundation/NSString.h"
#include "host/ui/UIImage.h"

namespace {

const char* const kIdentifier = "org.example.App";
const char* const kLocales[] = {"en_US", "de_DE", "sr_Latn_RS", "pt_BR", "zh_Hant_TW", ""};

using FuzzSupport::fail;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    FuzzSupport::resetForInput();
    Locale::setDefaultLocale(kLocales[data[0] % std::size(kLocales)]);
    std::string_view contents = FuzzSupport::textOf(data + 1, size - 1);
    FuzzSupport::writeFile(std::string(".local/share/applications/") + kIdentifier + ".desktop",
                           contents);
    // A PNG for icon names to find, so that the icon look-up reads one.
    static const std::string png = [] {
        const unsigned char bytes[] = {
            0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
            0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
            0x00, 0x1f, 0x15, 0xc4, 0x89, 0x00, 0x00, 0x00, 0x0b, 0x49, 0x44, 0x41, 0x54, 0x78,
            0x9c, 0x63, 0x60, 0x00, 0x02, 0x00, 0x00, 0x05, 0x00, 0x01, 0x7a, 0x5e, 0xab, 0x3f,
            0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
        return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
    }();
    FuzzSupport::writeFile(".local/share/icons/hicolor/16x16/apps/app.png", png);

    auto& activator = LAActivator::sharedInstance();
    auto title = activator.localizedTitleForListenerName(kIdentifier);
    auto icon = activator.smallIconForListenerName(kIdentifier);
    // Titles are shown and sorted as text: glib hands over UTF-8 only.
    if (title && !NSString::isValidUTF8(*title)) fail("a title is not UTF-8", *title);
    if (icon && (icon->width() <= 0 || icon->height() <= 0)) fail("an icon has no size", "");
    // The answer is cached: a second look-up gives the same.
    if (activator.localizedTitleForListenerName(kIdentifier) != title)
        fail("a cached title changed", title.value_or("(none)"));
    Locale::setDefaultLocale("en_US");
    return 0;
}
