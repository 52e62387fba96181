#pragma once

// One user of a TrafficWorld: a home of its own (so its own database and preferences), a private
// session bus, `bytarn-collector run --source kernel` as that user, started and stopped at will,
// and `bytarn` commands run as that user in that home.

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/ChildProcesses.h"
#include "support/TestEnvironment.h"
#include "support/TrafficWorld.h"

// Bytes per application over all days: Wi-Fi, cellular, unknown.
using Totals = std::map<std::string, std::array<std::int64_t, 3>>;

// Rows of a query on a database that a collector may be writing; none when it is not there yet.
inline std::vector<std::vector<std::string>> queryDatabase(const std::string& path,
                                                           const char* sql) {
    std::vector<std::vector<std::string>> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 2000);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK)
            while (sqlite3_step(statement) == SQLITE_ROW) {
                rows.emplace_back();
                for (int column = 0; column < sqlite3_column_count(statement); ++column) {
                    auto text = sqlite3_column_text(statement, column);
                    rows.back().emplace_back(text ? reinterpret_cast<const char*>(text) : "");
                }
            }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return rows;
}

// What a shell command prints on standard output, and its exit status.
inline std::pair<std::string, int> runCommand(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return {"", -1};
    char chunk[4096];
    for (size_t count; (count = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, count);
    int status = pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

class UserCollector {
  public:
    UserCollector(const TrafficWorld& world, const std::string& name, int uid)
        : world_(world), home_((world.scratch / name).string()), uid_(uid) {
        std::filesystem::create_directories(home_);
        if (chown(home_.c_str(), uid, uid) != 0) return;
        bus_ = std::make_unique<PrivateBus>(home_, uid);
        // Another uid may not reach the build tree: it runs copies in the world's scratch, the
        // bundles the command loads included.
        if (uid_t(uid) != geteuid()) {
            programs_ = world.scratch / "programs";
            program_ = copyForOtherUsers(BYTARN_BINARY_DIR "/bin/bytarn-collector", programs_);
            command_ = copyForOtherUsers(BYTARN_BINARY_DIR "/bin/bytarn", programs_);
            std::error_code error;
            std::filesystem::copy(BYTARN_BINARY_DIR "/bundles", programs_ / "bundles",
                                  std::filesystem::copy_options::recursive |
                                      std::filesystem::copy_options::overwrite_existing,
                                  error);
            if (program_.empty() || command_.empty() || error)
                std::ofstream(log()) << "could not copy the programs, their libraries and "
                                        "bundles into "
                                     << programs_ << "\n";
        }
    }

    bool start(const std::string& saveInterval) {
        process_ = std::make_unique<CollectorProcess>(
            std::vector<std::string>{"run", "--source", "kernel", "--traffic-socket",
                                     world_.socketPath().string(), "--save-interval", saveInterval},
            bus_ ? bus_->address() : "", log(), environment(), uid_, program_);
        // Connected once this run's line joins the earlier runs' in the shared log.
        bool connected = bus_ && bus_->running() && process_->started() &&
                         eventually([&] { return connections() > connected_; });
        connected_ = connections();
        return connected;
    }
    CollectorProcess& process() { return *process_; }

    // `bytarn ARGUMENTS` (shell words) as this user, in this user's home: what it printed on
    // standard output and error, and its exit status.
    std::pair<std::string, int> bytarn(const std::string& arguments) const {
        std::string command = uid_t(uid_) == geteuid()
                                  ? std::string("env")
                                  : "setpriv --reuid=" + std::to_string(uid_) +
                                        " --regid=" + std::to_string(uid_) + " --clear-groups env";
        for (const auto& variable : environment()) command += " '" + variable + "'";
        if (!programs_.empty())
            command += " 'BYTARN_BUNDLES_DIR=" + (programs_ / "bundles").string() + "'";
        return runCommand(command + " " + command_ + " " + arguments + " 2>&1");
    }

    std::string database() const {
        return home_ + "/.local/share/bytarn/" BYTARN_COLLECTOR_SERVICE ".sqlite3";
    }
    std::string log() const { return home_ + "/collector.log"; }
    const std::string& home() const { return home_; }
    std::string logs() const { return readFile(log()) + readFile(world_.helperLog()); }

    Totals totals() const {
        Totals sums;
        for (const auto& row : queryDatabase(database(),
                                             "SELECT app, SUM(usage_wifi), SUM(usage_cellular),"
                                             " SUM(usage_unknown) FROM usage GROUP BY app;"))
            sums[row[0]] = {std::stoll(row[1]), std::stoll(row[2]), std::stoll(row[3])};
        return sums;
    }
    std::vector<std::vector<std::string>> progress() const {
        return queryDatabase(database(), "SELECT source, epoch, seq FROM usage_sources;");
    }

  private:
    std::vector<std::string> environment() const {
        return {"HOME=" + home_, "XDG_DATA_HOME=" + home_ + "/.local/share",
                "XDG_CONFIG_HOME=" + home_ + "/.config", "LD_LIBRARY_PATH=" + programs_.string()};
    }

    std::size_t connections() const {
        std::string text = readFile(log()), line = "connected to the traffic helper at";
        std::size_t count = 0;
        for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
            ++count;
        return count;
    }

    const TrafficWorld& world_;
    std::string home_;
    int uid_;
    std::filesystem::path programs_;  // empty: the build tree's own programs
    std::string program_ = BYTARN_BINARY_DIR "/bin/bytarn-collector";
    std::string command_ = BYTARN_BINARY_DIR "/bin/bytarn";
    std::size_t connected_ = 0;
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<CollectorProcess> process_;
};
