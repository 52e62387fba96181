// The usage database as the root page reads it, with untrusted rows: applications, days and
// counters of any SQLite type, in the collector's schema or in a looser one that a damaged or
// foreign file may have. The page's query turns them into records, the records into rows, and the
// rows are sorted the two ways the page offers. Each row's value must be its record's filtered
// usage, and the sort by usage must put larger usage first and agree with a plain stable sort.
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "collector/UsageDatabase.h"
#include "data/BytarnComparisons.h"
#include "data/BytarnEntry.h"
#include "data/UsageQuery.h"
#include "fuzz/FuzzSupport.h"
#include "host/foundation/UsageString.h"
#include "host/preferences/PSSpecifier.h"
#include "root/BytarnController.h"

namespace {

using FuzzSupport::fail;

// Hands out the input's bytes; zeros once they run out.
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::string bytes(std::size_t count) {
        count = std::min(count, size_ - std::min(at_, size_));
        std::string out(reinterpret_cast<const char*>(data_ + at_), count);
        at_ += count;
        return out;
    }
    std::uint64_t word() {
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) value = (value << 8) | byte();
        return value;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Binds one value of the kind the input picks.
void bindValue(sqlite3_stmt* statement, int index, Input& input,
               const std::vector<std::string>& usual) {
    switch (input.byte() % 6) {
        case 0:
            sqlite3_bind_null(statement, index);
            break;
        case 1:
            sqlite3_bind_int64(statement, index, static_cast<sqlite3_int64>(input.word()));
            break;
        case 2: {
            std::uint64_t bits = input.word();
            double real;
            std::memcpy(&real, &bits, sizeof real);
            sqlite3_bind_double(statement, index, real);
            break;
        }
        case 3: {
            std::string text = input.bytes(input.byte() % 40);
            sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
            break;
        }
        case 4: {
            std::string blob = input.bytes(input.byte() % 40);
            sqlite3_bind_blob(statement, index, blob.data(), static_cast<int>(blob.size()),
                              SQLITE_TRANSIENT);
            break;
        }
        default: {
            const std::string& text = usual[input.byte() % usual.size()];
            sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
            break;
        }
    }
}

void fillDatabase(const std::string& path, Input& input) {
    const bool collectorSchema = input.byte() & 1;
    if (collectorSchema) UsageDatabase database(path);
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK)
        fail("cannot open the scratch database", sqlite3_errmsg(db));
    if (!collectorSchema)
        sqlite3_exec(db,
                     "CREATE TABLE usage (app, date, usage_wifi, usage_cellular, usage_unknown)",
                     nullptr, nullptr, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO usage VALUES (?1, ?2, ?3, ?4, ?5)", -1, &insert, nullptr);
    static const std::vector<std::string> apps{"org.example.mail", "org.example.Mail", "com.b",
                                               "ä.app", ""};
    static const std::vector<std::string> days{"2026-12-06", "2026-12-01", "2026-11-01",
                                               "2026-12-07", "0000-00-00"};
    static const std::vector<std::string> counts{
        "0", "1", "-1", "9223372036854775807", "18446744073709551615", "1e30", " 12abc"};
    for (int row = 0; row < 64 && !input.empty(); ++row) {
        sqlite3_reset(insert);
        bindValue(insert, 1, input, apps);
        bindValue(insert, 2, input, days);
        for (int column = 3; column <= 5; ++column) bindValue(insert, column, input, counts);
        sqlite3_step(insert);  // a NOT NULL column refuses some rows; the rest go in
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzSupport::resetForInput();
    Input input(data, size);
    static const char* const filters[] = {"CW ", "C  ", " W ", "", "CWU", "xyz"};
    static const char* const periods[] = {"Eternity", "Today", "This week", "Custom"};
    const std::uint8_t setup = input.byte();

    const std::string path = usageDatabasePath();
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    fillDatabase(path, input);

    auto page = std::make_shared<BytarnController>();
    page->setDevices(std::string(filters[setup % std::size(filters)]));
    page->setPeriod(std::string(periods[(setup / 8) % std::size(periods)]));
    page->setStartDate(std::string("2026-12-01"));
    page->setEndDate(std::string("2026-12-06"));
    page->reloadApps();
    if (!page->apps()) return 0;  // refused, and logged

    std::vector<std::shared_ptr<PSSpecifier>> rows;
    for (const auto& [identifier, record] : *page->apps()) {
        if (!record) fail("a record is missing", identifier);
        auto row = page->link(identifier, record);
        if (page->usage(*row) != usageString(record->relevantUsage(page->devices())))
            fail("a row's value is not its record's usage", identifier);
        rows.push_back(std::move(row));
    }

    auto byUsage = rows;
    sortRows(byUsage, compareUsage);
    for (std::size_t i = 1; i < byUsage.size(); ++i) {
        if (entry(*byUsage[i - 1])->relevantUsage(page->devices()) <
            entry(*byUsage[i])->relevantUsage(page->devices()))
            fail("the sort by usage put a smaller usage first", byUsage[i]->name());
    }
    auto plain = rows;
    std::stable_sort(plain.begin(), plain.end(), [](const auto& a, const auto& b) {
        return compareUsage(*a, *b) == NSOrderedAscending;
    });
    if (plain != byUsage) fail("the sort by usage differs from a plain stable sort", "");

    auto byName = rows;
    sortRows(byName, compareName);
    return 0;
}
