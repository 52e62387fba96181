#include "host/foundation/Locale.h"

#include <gtest/gtest.h>

#include "support/TestEnvironment.h"

namespace {

TEST(Locale, TimeZonesAreTakenOnlyWhenICUKnowsThem) {
    ScratchHome home("Europe/Berlin");
    struct {
        const char* identifier;
        bool accepted;
    } cases[] = {{"America/New_York", true},   {"UTC", true},          {"Asia/Kolkata", true},
                 {"Mars/Olympus_Mons", false}, {"Etc/Unknown", false}, {"", false}};
    for (const auto& c : cases) {
        ASSERT_TRUE(Locale::setDefaultTimeZone("Europe/Berlin"));
        EXPECT_EQ(Locale::setDefaultTimeZone(c.identifier), c.accepted) << c.identifier;
        EXPECT_EQ(Locale::defaultTimeZone(), c.accepted ? c.identifier : "Europe/Berlin")
            << c.identifier;
    }
}

TEST(Locale, LocalesAcceptICUAndPOSIXNames) {
    ScratchHome home("Europe/Berlin", "en_US");
    struct {
        const char* identifier;
        const char* becomes;  // nullptr: refused, the default stays en_US
    } cases[] = {{"de_DE", "de_DE"},
                 {"de_DE.UTF-8", "de_DE"},
                 {"sv_SE.utf8", "sv_SE"},
                 {"de-AT", "de_AT"},
                 {"fr", "fr"},
                 {"C", "en_US_POSIX"},
                 {"C.UTF-8", "en_US_POSIX"},
                 {"sr_RS@latin", "sr_Latn_RS"},
                 {"de_DE@euro", "de_DE"},
                 {"", nullptr},
                 {"xyz", nullptr},
                 {"!!!", nullptr},
                 {"de_XX", nullptr}};
    for (const auto& c : cases) {
        ASSERT_TRUE(Locale::setDefaultLocale("en_US"));
        unsigned before = Locale::localeGeneration();
        bool accepted = Locale::setDefaultLocale(c.identifier);
        EXPECT_EQ(accepted, c.becomes != nullptr) << c.identifier;
        EXPECT_EQ(Locale::defaultLocale(), c.becomes ? c.becomes : "en_US") << c.identifier;
        // Caches keyed on the generation must see every change and only changes.
        EXPECT_EQ(Locale::localeGeneration() != before, accepted) << c.identifier;
    }
}

}  // namespace
