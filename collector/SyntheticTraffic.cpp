#include "collector/SyntheticTraffic.h"

#include <unicode/gregocal.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>
#include <random>
#include <stdexcept>

#include "collector/UsageDatabase.h"
#include "host/foundation/Clock.h"
#include "host/foundation/NSDateFormatter.h"

namespace {

constexpr double kMegabyte = 1024.0 * 1024.0;

// How one application tends to use the network.
struct Profile {
    const char* identifier;
    const char* displayName;
    double dailyMegabytes;  // mean over the days it is used
    double activeShare;     // chance that it is used on a given day
    double wifiShare;       // of its bytes, on a typical day; 1 means it never uses cellular
    double weekendFactor;   // volume on Saturdays and Sundays relative to weekdays
};

constexpr Profile kProfiles[] = {
    {"org.example.Browser", "Browser", 80, 0.95, 0.70, 1.2},
    {"org.example.Mail", "Mail", 15, 0.98, 0.60, 0.5},
    {"org.example.Music", "Music", 250, 0.80, 0.45, 1.3},
    {"org.example.Maps", "Maps", 30, 0.50, 0.15, 1.5},
    {"org.example.Chat", "Chat", 25, 0.99, 0.35, 1.1},
    {"org.example.Video", "Video", 900, 0.70, 0.85, 1.6},
    {"org.example.News", "News", 12, 0.80, 0.55, 0.9},
    {"org.example.Photos", "Photos", 120, 0.40, 1.00, 1.8},
    {"org.example.Podcasts", "Podcasts", 150, 0.50, 1.00, 1.0},
    {"org.example.Weather", "Weather", 0.3, 1.00, 0.50, 1.0},
    {"org.example.Store", "App Store", 40, 0.30, 0.90, 1.2},
    {"org.example.Updater", "Software Update", 600, 0.10, 1.00, 1.0},
};

// The generator's own draws from the engine's raw output, so that a seed gives the same rows
// whichever standard library the collector is built with (the std distributions may differ).
class Draws {
  public:
    explicit Draws(std::mt19937_64& engine) : engine_(engine) {}

    // Uniform in [0, 1).
    double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }

    // Standard normal (Box-Muller).
    double normal() {
        double u = 1.0 - uniform();  // (0, 1]: keeps the logarithm finite
        double v = uniform();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * v);
    }

    // Log-normal with mean 1: day-to-day volumes vary a lot but stay positive.
    double spread(double sigma) { return std::exp(sigma * normal() - sigma * sigma / 2.0); }

  private:
    std::mt19937_64& engine_;
};

// A calendar in the default time zone, set to the clock's now.
std::unique_ptr<icu::GregorianCalendar> calendarNow() {
    UErrorCode status = U_ZERO_ERROR;
    auto calendar = std::make_unique<icu::GregorianCalendar>(status);
    if (U_FAILURE(status)) throw std::runtime_error("cannot make a calendar");
    calendar->setTime(Clock::now() * 1000.0, status);
    if (U_FAILURE(status)) throw std::runtime_error("cannot set the calendar's time");
    return calendar;
}

struct Day {
    std::string date;
    bool weekend = false;
};

// The last `days` local days ending today, oldest first.
std::vector<Day> lastLocalDays(int days) {
    std::vector<Day> result;
    if (days <= 0) return result;
    NSDateFormatter formatter;
    formatter.setLocale("en_US_POSIX");
    formatter.setDateFormat("yyyy-MM-dd");
    auto today = calendarNow();
    result.reserve(days);
    for (int back = days - 1; back >= 0; --back) {
        // Stepping by calendar days keeps the wall time, so days of 23 or 25 hours around a
        // daylight saving change are neither skipped nor repeated.
        std::unique_ptr<icu::Calendar> day(today->clone());
        UErrorCode status = U_ZERO_ERROR;
        day->add(UCAL_DATE, -back, status);
        UDate instant = day->getTime(status);
        int weekday = day->get(UCAL_DAY_OF_WEEK, status);
        if (U_FAILURE(status)) throw std::runtime_error("cannot step the calendar");
        auto text = formatter.stringFromDate(NSDate{instant / 1000.0});
        if (!text) throw std::runtime_error("cannot format a day");
        result.push_back({*text, weekday == UCAL_SATURDAY || weekday == UCAL_SUNDAY});
    }
    return result;
}

// How much of today has passed, in (0, 1].
double partOfTodayPassed() {
    auto now = calendarNow();
    UErrorCode status = U_ZERO_ERROR;
    double seconds = now->get(UCAL_HOUR_OF_DAY, status) * 3600.0 +
                     now->get(UCAL_MINUTE, status) * 60.0 + now->get(UCAL_SECOND, status);
    if (U_FAILURE(status)) throw std::runtime_error("cannot read the time of day");
    return std::clamp(seconds / 86400.0, 0.01, 1.0);
}

std::uint64_t bytes(double value) {
    return static_cast<std::uint64_t>(std::llround(value));
}

}  // namespace

namespace SyntheticTraffic {

const std::vector<SyntheticApplication>& applications() {
    static const std::vector<SyntheticApplication> list = [] {
        std::vector<SyntheticApplication> made;
        for (const Profile& profile : kProfiles)
            made.push_back({profile.identifier, profile.displayName});
        return made;
    }();
    return list;
}

std::vector<std::string> lastDays(int days) {
    std::vector<std::string> dates;
    for (Day& day : lastLocalDays(days)) dates.push_back(std::move(day.date));
    return dates;
}

std::vector<UsageRow> generate(int days, std::uint64_t seed) {
    std::vector<UsageRow> rows;
    std::vector<Day> calendar = lastLocalDays(days);
    if (calendar.empty()) return rows;
    double todayPassed = partOfTodayPassed();
    std::mt19937_64 engine(seed);
    Draws draws(engine);
    for (std::size_t index = 0; index < calendar.size(); ++index) {
        const Day& day = calendar[index];
        bool today = index + 1 == calendar.size();
        for (const Profile& profile : kProfiles) {
            // Every draw is made whether or not the row is kept, so that one application's
            // luck does not shift the others'.
            bool used = draws.uniform() < profile.activeShare;
            double volume = profile.dailyMegabytes * kMegabyte * draws.spread(0.6);
            double wifiShare =
                profile.wifiShare >= 1.0
                    ? 1.0
                    : std::clamp(profile.wifiShare + 0.12 * draws.normal(), 0.0, 0.98);
            bool fromUnknown = draws.uniform() < 0.12;
            double unknownShare = 0.005 + 0.025 * draws.uniform();
            if (!used) continue;

            if (day.weekend) volume *= profile.weekendFactor;
            if (today) volume *= todayPassed;
            double unknown = fromUnknown ? volume * unknownShare : 0.0;
            double known = volume - unknown;
            UsageRow row{profile.identifier, day.date, bytes(known * wifiShare),
                         bytes(known * (1.0 - wifiShare)), bytes(unknown)};
            if (row.wifi + row.cellular + row.unknown == 0) row.wifi = 1;
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

void writeTo(UsageDatabase& database, const std::vector<UsageRow>& rows) {
    std::string error;
    if (!database.execute("BEGIN IMMEDIATE;", &error))
        throw std::runtime_error("cannot start a transaction: " + error);
    try {
        for (const UsageRow& row : rows)
            database.addUsage(row.app, row.date, row.wifi, row.cellular, row.unknown);
    } catch (...) {
        database.execute("ROLLBACK;", nullptr);
        throw;
    }
    if (!database.execute("COMMIT;", &error)) {
        database.execute("ROLLBACK;", nullptr);
        throw std::runtime_error("cannot commit the rows: " + error);
    }
}

std::vector<std::string> writeDesktopEntries(const std::string& directory) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec) throw std::runtime_error("cannot create " + directory + ": " + ec.message());
    std::vector<std::string> written;
    for (const SyntheticApplication& application : applications()) {
        std::string path =
            (std::filesystem::path(directory) / (application.identifier + ".desktop")).string();
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        // Hidden from menus: these applications only exist to give the usage rows a title.
        out << "[Desktop Entry]\n"
            << "Type=Application\n"
            << "Name=" << application.displayName << "\n"
            << "Comment=Synthetic application for Bytarn's usage collector\n"
            << "Exec=true\n"
            << "NoDisplay=true\n";
        out.close();
        if (!out) throw std::runtime_error("cannot write " + path);
        written.push_back(path);
    }
    return written;
}

}  // namespace SyntheticTraffic

SyntheticTrafficStream::SyntheticTrafficStream(std::uint64_t seed) : engine_(seed) {}

std::vector<TrafficIncrement> SyntheticTrafficStream::next(double seconds) {
    std::vector<TrafficIncrement> increments;
    if (!(seconds > 0)) return increments;
    Draws draws(engine_);
    for (const Profile& profile : kProfiles) {
        // Traffic comes in bursts: in a given step an application is busy or idle, and a busy
        // one makes up for the idle steps, so that a day adds up to the profile's mean.
        double busyShare = std::min(1.0, 0.3 * profile.activeShare + 0.05);
        bool busy = draws.uniform() < busyShare;
        double volume = profile.dailyMegabytes * kMegabyte * profile.activeShare / 86400.0 *
                        seconds / busyShare * draws.spread(0.8);
        // A burst goes over the one network the device is on at the time.
        double network = draws.uniform();
        if (!busy) continue;
        NetworkKind kind = network < 0.02                              ? NetworkKind::Unknown
                           : network < 0.02 + 0.98 * profile.wifiShare ? NetworkKind::Wifi
                                                                       : NetworkKind::Cellular;
        std::uint64_t moved = bytes(volume);
        if (moved > 0) increments.push_back({profile.identifier, kind, moved});
    }
    return increments;
}
