#pragma once

#include <sqlite3.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/messaging/CFNotificationCenter.h"
#include "host/messaging/CPDistributedMessagingCenter.h"

// Every row of a query on a connection of its own, the columns as text ("NULL" for null).
inline std::vector<std::vector<std::string>> queryRows(const std::string& path,
                                                       const std::string& sql) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + path);
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        std::string error = sqlite3_errmsg(db);
        sqlite3_close(db);
        throw std::runtime_error(error);
    }
    std::vector<std::vector<std::string>> rows;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int i = 0; i < sqlite3_column_count(statement); ++i) {
            auto text = sqlite3_column_text(statement, i);
            row.push_back(text ? reinterpret_cast<const char*>(text) : "NULL");
        }
        rows.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

// Counts the deliveries of one notification name to an observer in this process.
class NotificationCounter {
  public:
    explicit NotificationCounter(std::string name) : name_(std::move(name)) {
        CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), this,
                                        &NotificationCounter::called, name_, nullptr, 0);
    }
    ~NotificationCounter() {
        CFNotificationCenterRemoveObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, name_,
                                           nullptr);
    }
    NotificationCounter(const NotificationCounter&) = delete;
    NotificationCounter& operator=(const NotificationCounter&) = delete;

    int count() const { return count_; }
    // The count once everything posted so far in this process has been delivered.
    int settledCount() const {
        CFNotificationCenterWaitUntilDelivered();
        return count_;
    }

  private:
    static void called(CFNotificationCenterRef, void* observer, const std::string&, const void*,
                       const Value::Dictionary*) {
        ++static_cast<NotificationCounter*>(observer)->count_;
    }

    std::string name_;
    std::atomic<int> count_{0};
};

// Installs transports for a test and puts back the ones it found.
class TransportsGuard {
  public:
    TransportsGuard(std::shared_ptr<MessagingTransport> messaging,
                    std::shared_ptr<NotificationTransport> notifications)
        : messaging_(MessagingTransport::current()),
          notifications_(NotificationTransport::current()) {
        MessagingTransport::install(std::move(messaging));
        NotificationTransport::install(std::move(notifications));
    }
    ~TransportsGuard() {
        MessagingTransport::install(messaging_);
        NotificationTransport::install(notifications_);
    }
    TransportsGuard(const TransportsGuard&) = delete;
    TransportsGuard& operator=(const TransportsGuard&) = delete;

  private:
    std::shared_ptr<MessagingTransport> messaging_;
    std::shared_ptr<NotificationTransport> notifications_;
};
