#pragma once

#include <string>

// The process's time zone and locale. Both start from ICU's defaults (TZ, and LC_ALL, LC_MESSAGES
// or LANG) and can be overridden once at start-up (--tz, --locale) or by a test.
namespace Locale {

// An Olson identifier such as "Europe/Berlin". Returns false, changing nothing, when ICU does not
// know the zone.
bool setDefaultTimeZone(const std::string& olsonIdentifier);
std::string defaultTimeZone();
// Whether setDefaultTimeZone would take the identifier; changes nothing.
bool isKnownTimeZone(const std::string& olsonIdentifier);

// An ICU or POSIX locale identifier such as "de_DE" or "en_US.UTF-8".
bool setDefaultLocale(const std::string& identifier);
std::string defaultLocale();
// Whether setDefaultLocale would take the identifier; changes nothing.
bool isKnownLocale(const std::string& identifier);

// Whether text goes out as UTF-8: the codeset of the identifier last given to setDefaultLocale
// when it named one ("de_DE.UTF-8"), else that of the environment (LC_ALL, LC_CTYPE, then LANG).
// "C", "POSIX", no name at all and any other codeset are not UTF-8.
bool characterSetIsUTF8();
// A counter that moves whenever the default locale changes, so caches keyed on it can notice.
unsigned localeGeneration();

}  // namespace Locale
