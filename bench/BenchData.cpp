#include "BenchData.h"

#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>

#include "collector/UsageDatabase.h"
#include "host/activator/LAActivator.h"
#include "host/foundation/Clock.h"
#include "host/foundation/Locale.h"
#include "host/foundation/NSDateFormatter.h"

namespace fs = std::filesystem;

namespace BenchData {

namespace {

// Bump whenever the generator changes what it writes: stamps of another format are regenerated.
constexpr int kFormat = 3;
constexpr int kIconCount = 16;

// splitmix64: small, fast and the same on every platform, unlike the standard distributions.
class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
    bool chance(double p) { return uniform() < p; }

  private:
    std::uint64_t state_;
};

struct Application {
    std::string identifier;
    std::string title;
    bool hasEntry = true;  // some applications were removed and left only their records
    int icon = -1;         // which shared icon the entry names; -1 for an entry without Icon
    double dailyBytes = 0;
    double cellularShare = 0;
    bool unknownNetworks = false;
};

const char* const kSyllables[] = {
    "ka", "lo",  "mi",  "ne",  "ra",  "so",  "tu", "vi",  "zen", "bri", "dal", "fo", "gri", "hu",
    "jo", "pel", "qua", "ris", "sta", "tor", "ul", "ver", "wex", "yl",  "ab",  "em", "or",  "an"};
const char* const kProducts[] = {"Notes", "Radio",  "Maps",     "Chat",    "Photos",    "Video",
                                 "Cloud", "Mail",   "News",     "Weather", "Music",     "Books",
                                 "Games", "Fit",    "Bank",     "Shop",    "Travel",    "Camera",
                                 "Scan",  "Player", "Podcasts", "Tasks",   "Translate", "Stream"};

template <class T, size_t N>
const T& pick(Random& random, const T (&items)[N]) {
    return items[random.below(static_cast<int>(N))];
}

// The applications of a data set. The same seed for every size, so a smaller set is a prefix of
// a larger one.
std::vector<Application> makeApplications(int count) {
    Random random(0x0b17a2ULL);
    std::vector<Application> apps;
    std::set<std::string> seen;
    apps.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        Application app;
        std::string vendor;
        int syllables = 2 + random.below(2);
        for (int s = 0; s < syllables; ++s) vendor += pick(random, kSyllables);
        std::string product = pick(random, kProducts);
        std::string lowerProduct;
        for (char c : product) lowerProduct += static_cast<char>(std::tolower(c));
        std::string identifier = "com." + vendor + "." + lowerProduct;
        for (int n = 2; seen.count(identifier); ++n)
            identifier = "com." + vendor + "." + lowerProduct + std::to_string(n);
        seen.insert(identifier);
        app.identifier = identifier;

        // Titles mix case and a few accented initials, so the collator has work to do.
        std::string brand = vendor;
        brand[0] = static_cast<char>(std::toupper(brand[0]));
        if (random.chance(0.05)) {
            static const std::map<char, const char*> accented{
                {'A', "\xC3\x85"}, {'E', "\xC3\x89"}, {'O', "\xC3\x96"}, {'U', "\xC3\x9C"}};
            if (auto it = accented.find(brand[0]); it != accented.end())
                brand = it->second + brand.substr(1);
        } else if (random.chance(0.04)) {
            brand = "i" + brand;
        } else if (random.chance(0.04)) {
            brand[0] = static_cast<char>(std::tolower(brand[0]));
        }
        app.title = brand + " " + product;

        app.hasEntry = !random.chance(0.05);
        app.icon = random.chance(0.1) ? -1 : random.below(kIconCount);
        // Log-uniform from a few KB to a few hundred MB a day; a few streaming-sized ones above.
        app.dailyBytes = std::pow(10.0, 3.5 + 5.0 * random.uniform());
        if (random.chance(0.02)) app.dailyBytes *= 10.0;
        app.cellularShare = random.chance(0.25) ? 0.0 : 0.8 * random.uniform();
        app.unknownNetworks = random.chance(0.1);
        apps.push_back(std::move(app));
    }
    return apps;
}

std::chrono::sys_days parseDay(const char* text) {
    int y = 0;
    unsigned m = 0, d = 0;
    if (std::sscanf(text, "%d-%u-%u", &y, &m, &d) != 3)
        throw std::invalid_argument(std::string("bad day ") + text);
    return std::chrono::year{y} / std::chrono::month{m} / std::chrono::day{d};
}

std::string dayText(std::chrono::sys_days day) {
    std::chrono::year_month_day ymd{day};
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    return text;
}

std::string stampText(int applications, long long rows) {
    std::ostringstream out;
    out << "format " << kFormat << "\napplications " << applications << "\ndays " << kDays
        << "\ntoday " << kToday << "\nrows " << rows << "\n";
    return out.str();
}

// The row count a valid stamp records, or -1 when the stamp is missing or of another data set.
long long readStamp(const fs::path& stamp, int applications) {
    std::ifstream in(stamp);
    if (!in) return -1;
    std::stringstream text;
    text << in.rdbuf();
    std::string content = text.str();
    auto at = content.rfind("rows ");
    if (at == std::string::npos) return -1;
    long long rows = std::atoll(content.c_str() + at + 5);
    return content == stampText(applications, rows) ? rows : -1;
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string databaseIn(const std::string& home) {
    return home + "/.local/share/bytarn/" BYTARN_COLLECTOR_SERVICE ".sqlite3";
}

void writeDesktopEntries(const std::string& home, const std::vector<Application>& apps) {
    std::string data = home + "/.local/share";
    const fs::path iconSource = fs::path(BYTARN_SOURCE_DIR) / "resources" / "icon.png";
    for (int i = 0; i < kIconCount; ++i) {
        fs::path icon = fs::path(data) / "icons/hicolor/29x29/apps" /
                        ("bench-category-" + std::to_string(i) + ".png");
        fs::create_directories(icon.parent_path());
        fs::copy_file(iconSource, icon, fs::copy_options::overwrite_existing);
    }
    for (const Application& app : apps) {
        if (!app.hasEntry) continue;
        std::string text = "[Desktop Entry]\nType=Application\nName=" + app.title +
                           "\nExec=" + app.identifier + "\n";
        if (app.icon >= 0) text += "Icon=bench-category-" + std::to_string(app.icon) + "\n";
        writeFile(fs::path(data) / "applications" / (app.identifier + ".desktop"), text);
    }
}

// The first collectors' schema, as they made it: WAL, the table and its index on (date, app).
const char* const kOldSchema =
    "PRAGMA journal_mode=WAL;"
    "CREATE TABLE usage (app TEXT NOT NULL, date TEXT NOT NULL,"
    " usage_wifi INTEGER NOT NULL DEFAULT 0, usage_cellular INTEGER NOT NULL DEFAULT 0,"
    " usage_unknown INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX usage_by_date ON usage (date, app);"
    "CREATE TABLE usage_saves (id INTEGER PRIMARY KEY CHECK (id = 1), mark INTEGER NOT NULL);";

// One database the generator writes to, with its insert statement.
class UsageSink {
  public:
    // The collector's schema, made by UsageDatabase.
    explicit UsageSink(const std::string& path) : current_(std::make_unique<UsageDatabase>(path)) {
        db_ = current_->handle();
        prepare();
    }
    // Schema 0, made here: UsageDatabase would migrate it.
    UsageSink(const std::string& path, const char* schema) {
        fs::create_directories(fs::path(path).parent_path());
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) fail("cannot open " + path);
        run(schema);
        prepare();
    }
    // What the collector's first save of a day does before it writes: the indexes of the page's
    // named periods for that day, on the pinned clock.
    void indexPeriods() {
        std::string error;
        if (current_ &&
            !current_->indexPeriods(UsageDatabase::periodStartsAt(NSDate::date()), &error))
            fail("cannot index the periods: " + error);
    }
    ~UsageSink() {
        sqlite3_finalize(insert_);
        if (!current_) sqlite3_close(db_);
    }
    UsageSink(const UsageSink&) = delete;
    UsageSink& operator=(const UsageSink&) = delete;

    void run(const std::string& sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            std::string text = message ? message : sqlite3_errmsg(db_);
            sqlite3_free(message);
            fail(text);
        }
    }
    void insert(const std::string& app, const std::string& date, sqlite3_int64 wifi,
                sqlite3_int64 cellular, sqlite3_int64 unknown) {
        sqlite3_bind_text(insert_, 1, app.c_str(), static_cast<int>(app.size()), SQLITE_STATIC);
        sqlite3_bind_text(insert_, 2, date.c_str(), static_cast<int>(date.size()), SQLITE_STATIC);
        sqlite3_bind_int64(insert_, 3, wifi);
        sqlite3_bind_int64(insert_, 4, cellular);
        sqlite3_bind_int64(insert_, 5, unknown);
        if (sqlite3_step(insert_) != SQLITE_DONE) fail(sqlite3_errmsg(db_));
        sqlite3_reset(insert_);
    }

  private:
    void prepare() {
        run("PRAGMA synchronous=OFF;");
        if (sqlite3_prepare_v2(db_,
                               "INSERT INTO usage (app, date, usage_wifi, usage_cellular, "
                               "usage_unknown) VALUES (?1, ?2, ?3, ?4, ?5);",
                               -1, &insert_, nullptr) != SQLITE_OK)
            fail(sqlite3_errmsg(db_));
    }
    [[noreturn]] void fail(const std::string& message) {
        throw std::runtime_error("bench data: " + message);
    }

    std::unique_ptr<UsageDatabase> current_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
};

// Writes the usage rows day by day, oldest first, as a collector would, one transaction a day,
// into the collector's schema and, the same rows, into schema 0.
long long writeUsage(const std::string& path, const std::string& oldSchemaPath,
                     const std::vector<Application>& apps) {
    UsageSink current(path);
    UsageSink old(oldSchemaPath, kOldSchema);

    Random random(0x5eed0000ULL + static_cast<std::uint64_t>(apps.size()));
    const std::chrono::sys_days today = parseDay(kToday);
    long long rows = 0;
    for (int back = kDays - 1; back >= 0; --back) {
        const std::string date = dayText(today - std::chrono::days{back});
        if (back == 0) current.indexPeriods();
        current.run("BEGIN;");
        old.run("BEGIN;");
        for (const Application& app : apps) {
            int count = 1 + random.below(3);
            for (int r = 0; r < count; ++r) {
                double bytes = app.dailyBytes / count * (0.1 + 1.8 * random.uniform());
                auto cellular = static_cast<sqlite3_int64>(bytes * app.cellularShare);
                auto wifi = static_cast<sqlite3_int64>(bytes) - cellular;
                sqlite3_int64 unknown = 0;
                if (app.unknownNetworks && random.chance(0.2))
                    unknown = static_cast<sqlite3_int64>(bytes * 0.05 * random.uniform());
                current.insert(app.identifier, date, wifi, cellular, unknown);
                old.insert(app.identifier, date, wifi, cellular, unknown);
                ++rows;
            }
        }
        current.run("COMMIT;");
        old.run("COMMIT;");
        if (apps.size() >= 1000 && back % 73 == 0)
            std::fprintf(stderr, "bench: %zu applications: %s written\n", apps.size(),
                         date.c_str());
    }
    // Fold the write-ahead logs into the databases, so that readers start from plain files.
    current.run("PRAGMA wal_checkpoint(TRUNCATE);");
    old.run("PRAGMA wal_checkpoint(TRUNCATE);");
    return rows;
}

}  // namespace

void pinEnvironment() {
    Locale::setDefaultTimeZone("Europe/Berlin");
    Locale::setDefaultLocale("en_US");
    // Noon in Berlin, summer time: 10:00 UTC.
    auto noon = parseDay(kToday) + std::chrono::hours{10};
    Clock::setVirtual(static_cast<double>(
        std::chrono::duration_cast<std::chrono::seconds>(noon.time_since_epoch()).count()));
}

const Dataset& dataset(int applications) {
    static std::map<int, std::unique_ptr<Dataset>> made;
    if (auto it = made.find(applications); it != made.end()) return *it->second;

    const fs::path root =
        fs::path(BYTARN_BENCH_DATA_DIR) / ("apps-" + std::to_string(applications));
    const fs::path stamp = root / "complete";
    std::vector<Application> apps = makeApplications(applications);
    long long rows = readStamp(stamp, applications);
    if (rows < 0) {
        std::fprintf(stderr, "bench: generating the data set of %d applications in %s\n",
                     applications, root.c_str());
        const fs::path partial = root.string() + ".partial";
        fs::remove_all(partial);
        fs::remove_all(root);
        const std::string partialHome = (partial / "home").string();
        writeDesktopEntries(partialHome, apps);
        rows = writeUsage(databaseIn(partialHome), (partial / "schema-0.sqlite3").string(), apps);
        writeFile(partial / "complete", stampText(applications, rows));
        fs::rename(partial, root);
    }

    auto data = std::make_unique<Dataset>();
    data->applications = applications;
    data->home = (root / "home").string();
    data->databasePath = databaseIn(data->home);
    data->oldSchemaPath = (root / "schema-0.sqlite3").string();
    data->usageRows = rows;
    for (Application& app : apps) data->identifiers.push_back(std::move(app.identifier));
    return *made.emplace(applications, std::move(data)).first->second;
}

void enter(const Dataset& data) {
    setenv("HOME", data.home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (data.home + "/.config").c_str(), 1);
    setenv("XDG_DATA_HOME", (data.home + "/.local/share").c_str(), 1);
    setenv("XDG_DATA_DIRS", (data.home + "/usr/share").c_str(), 1);
    // Titles and icons of another data set's home must not answer for this one.
    LAActivator::sharedInstance().clearCache();
}

long long fileBytes(const std::string& databasePath) {
    long long bytes = 0;
    for (const char* suffix : {"", "-wal"}) {
        std::error_code ec;
        auto size = fs::file_size(databasePath + suffix, ec);
        if (!ec) bytes += static_cast<long long>(size);
    }
    return bytes;
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

}  // namespace BenchData
