#include "host/foundation/Locale.h"

#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace {

std::atomic<unsigned> generation{0};

std::mutex codesetMutex;
std::string givenCodeset;  // of the identifier last given to setDefaultLocale, when it named one

// The codeset of a POSIX locale name (language[_territory][.codeset][@modifier]), or "".
std::string codesetOf(const std::string& identifier) {
    auto dot = identifier.find('.');
    if (dot == std::string::npos) return {};
    return identifier.substr(dot + 1, identifier.find('@', dot) - dot - 1);
}

bool namesUTF8(std::string codeset) {
    codeset.erase(std::remove(codeset.begin(), codeset.end(), '-'), codeset.end());
    std::transform(codeset.begin(), codeset.end(), codeset.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return codeset == "utf8";
}

std::string toUTF8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

// Turns a POSIX locale name (language[_territory][.codeset][@modifier]) into an ICU identifier.
// ICU itself would keep the codeset as part of the country and read a bare modifier as a variant,
// so "de_DE.UTF-8" would name a country "DE.UTF-8" that has no data.
std::string icuIdentifierFromPOSIX(const std::string& identifier) {
    std::string base = identifier;
    std::string modifier;
    if (auto at = base.find('@'); at != std::string::npos) {
        modifier = base.substr(at + 1);
        base.erase(at);
    }
    if (auto dot = base.find('.'); dot != std::string::npos) base.erase(dot);
    if (base == "C" || base == "POSIX") return "en_US_POSIX";

    // "@collation=phonebook" is already ICU keyword syntax; keep it as it is.
    if (modifier.find('=') != std::string::npos) return base + "@" + modifier;
    // The only POSIX modifiers that change what text looks like are the scripts; the rest
    // ("@euro") only ever chose a currency or a codeset, which ICU decides by itself.
    const char* script = modifier == "latin" ? "Latn" : modifier == "cyrillic" ? "Cyrl" : nullptr;
    if (script) {
        icu::Locale parsed(base.c_str());
        std::string withScript = std::string(parsed.getLanguage()) + "_" + script;
        if (*parsed.getCountry()) withScript += std::string("_") + parsed.getCountry();
        return withScript;
    }
    return base;
}

// ICU accepts any string as a locale and silently falls back to root data, so a mistyped name
// would quietly give English text. Only names of known languages (and countries) count.
bool hasLocaleData(const icu::Locale& locale) {
    if (locale.isBogus() || *locale.getLanguage() == '\0') return false;
    if (*locale.getISO3Language() == '\0') return false;
    if (*locale.getCountry() != '\0' && *locale.getISO3Country() == '\0') return false;
    return true;
}

// The zone of an Olson identifier; nothing when ICU does not know it.
std::unique_ptr<icu::TimeZone> knownTimeZone(const std::string& olsonIdentifier) {
    std::unique_ptr<icu::TimeZone> zone(
        icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(olsonIdentifier)));
    if (!zone) return nullptr;
    // An unknown identifier does not fail: ICU hands back the "Etc/Unknown" zone (GMT rules).
    icu::UnicodeString id;
    zone->getID(id);
    if (id == UNICODE_STRING_SIMPLE("Etc/Unknown")) return nullptr;
    return zone;
}

}  // namespace

namespace Locale {

bool setDefaultTimeZone(const std::string& olsonIdentifier) {
    auto zone = knownTimeZone(olsonIdentifier);
    if (!zone) return false;
    icu::TimeZone::adoptDefault(zone.release());
    return true;
}

bool isKnownTimeZone(const std::string& olsonIdentifier) {
    return knownTimeZone(olsonIdentifier) != nullptr;
}

std::string defaultTimeZone() {
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createDefault());
    if (!zone) return {};
    icu::UnicodeString id;
    zone->getID(id);
    return toUTF8(id);
}

bool isKnownLocale(const std::string& identifier) {
    return !identifier.empty() &&
           hasLocaleData(icu::Locale(icuIdentifierFromPOSIX(identifier).c_str()));
}

bool setDefaultLocale(const std::string& identifier) {
    if (identifier.empty()) return false;
    icu::Locale locale(icuIdentifierFromPOSIX(identifier).c_str());
    if (!hasLocaleData(locale)) return false;
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(locale, status);
    if (U_FAILURE(status)) return false;
    {
        std::lock_guard<std::mutex> lock(codesetMutex);
        givenCodeset = codesetOf(identifier);
    }
    generation.fetch_add(1, std::memory_order_acq_rel);
    return true;
}

bool characterSetIsUTF8() {
    {
        std::lock_guard<std::mutex> lock(codesetMutex);
        if (!givenCodeset.empty()) return namesUTF8(givenCodeset);
    }
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) return namesUTF8(codesetOf(value));
    }
    return false;
}

std::string defaultLocale() {
    return icu::Locale::getDefault().getName();
}

unsigned localeGeneration() {
    return generation.load(std::memory_order_acquire);
}

}  // namespace Locale
