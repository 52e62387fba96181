#pragma once

// Shared checks of the hostile-input catalogue: every entry ends in the same questions (did it
// say what it should, and is everything that was there still there).

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host/foundation/SystemLog.h"

namespace catalogue {

// The captured log lines, one expected fragment per line, in order. An empty fragment list
// means the input must pass without a word.
inline void expectLog(const std::vector<std::string>& fragments) {
    std::vector<std::string> lines = SystemLog::takeCaptured();
    std::string all;
    for (const auto& line : lines) all += "\n  " + line;
    EXPECT_EQ(lines.size(), fragments.size()) << "logged:" << all;
    for (std::size_t i = 0; i < lines.size() && i < fragments.size(); ++i)
        EXPECT_NE(lines[i].find(fragments[i]), std::string::npos)
            << "line " << i << " lacks \"" << fragments[i] << "\"; logged:" << all;
}

// Runs SQL on a database of its own making (created when missing), outside the collector's
// schema, so that any shape of table can be put in place.
inline void rawSql(const std::string& path, const std::string& statements) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK) << path;
    char* error = nullptr;
    int rc = sqlite3_exec(db, statements.c_str(), nullptr, nullptr, &error);
    std::string message = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << message;
}

// A single number from a query on a read-only connection; -1 when the query fails.
inline long long countOf(const std::string& path, const std::string& query) {
    sqlite3* db = nullptr;
    long long result = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            result = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return result;
}

}  // namespace catalogue
