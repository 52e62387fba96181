// The collector daemon killed without warning, between saves and during them: what it saved is
// in the database, which stays sound, and at most what it counted since its last save is lost.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "faults/FaultTestSupport.h"
#include "host/foundation/SystemLog.h"
#include "host/messaging/DBusTransport.h"
#include "support/TestEnvironment.h"

namespace {

const char* const kService = "org.bytarn.collector";

// Totals per application, whatever day the daemon's real clock put them on.
UsageTotals perApplication(const UsageTotals& totals) {
    UsageTotals merged;
    for (const auto& [key, counts] : totals)
        for (int kind = 0; kind < 3; ++kind) merged[{key.first, ""}][kind] += counts[kind];
    return merged;
}

// Record lines for `apps` applications; adds them to `sent`.
std::string recordLines(int round, int part, int apps, UsageTotals& sent) {
    static const char* const kinds[] = {"wifi", "cellular", "unknown"};
    std::string text;
    for (int i = 0; i < apps; ++i) {
        std::string app = "org.example.app" + std::to_string((round * 37 + part * 11 + i) % 150);
        int kind = (i + part) % 3;
        std::uint64_t bytes = 1 + static_cast<std::uint64_t>((round * 7919 + part * 31 + i) % 5000);
        text += "record " + app + " " + kinds[kind] + " " + std::to_string(bytes) + "\n";
        sent[{app, ""}][kind] += bytes;
    }
    return text;
}

TEST(CollectorKilled, LosesAtMostWhatItCountedSinceItsLastSave) {
    if (!programInstalled("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
    ScratchHome home;
    SystemLog::setEchoToStandardError(false);
    SystemLog::setSendToSyslog(false);
    PrivateBus bus(home.path());
    ASSERT_TRUE(bus.running());
    auto watcher = std::make_shared<DBusMessagingTransport>(bus.address());
    const std::string path = home.path() + "/data/usage.sqlite3";
    const std::string log = home.path() + "/collector.log";

    constexpr int kRounds = 16;
    UsageTotals sent;             // everything any daemon was given
    std::uint64_t lostBytes = 0;  // given, but not saved when the daemon died
    std::uint64_t sentBytes = 0;  // given in the rounds that end in a kill
    int killedWithUnsaved = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const UsageTotals roundStart = sent;
        ASSERT_TRUE(eventually([&] { return !watcher->hasServer(kService); }))
            << "the last daemon's name is gone";
        CollectorProcess collector(
            {"run", "--source", "stdin", "--save-interval", "0.1", "--database", path},
            bus.address(), log);
        ASSERT_TRUE(collector.started());
        ASSERT_TRUE(eventually([&] { return watcher->hasServer(kService); })) << readFile(log);

        // Traffic that a save takes in before the kill: seen in the database, so it must stay.
        ASSERT_TRUE(collector.send(recordLines(round, 0, 400, sent)));
        UsageTotals saved;
        ASSERT_TRUE(eventually([&] {
            auto stored = storedTotals(path);
            if (!stored) return false;
            saved = perApplication(*stored);
            return saved == sent;
        })) << readFile(log);

        // Then more traffic, with the database watched as the saves land, and the kill at a
        // moment that varies from round to round: right after the first lines, or after
        // several saves.
        auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds((round * 53) % 450);
        UsageTotals lastSeen = saved;  // the latest save seen to have completed
        int part = 1;
        do {
            if (!collector.send(recordLines(round, part++, 200, sent))) break;
            if (auto stored = storedTotals(path)) lastSeen = perApplication(*stored);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (std::chrono::steady_clock::now() < until);
        collector.killNow();

        EXPECT_EQ(integrityCheck(path), "ok");
        auto stored = storedTotals(path);
        ASSERT_TRUE(stored);
        auto after = perApplication(*stored);
        EXPECT_TRUE(coveredBy(saved, after)) << "everything saved before the kill stays";
        EXPECT_TRUE(coveredBy(lastSeen, after)) << "the last completed save stays";
        EXPECT_TRUE(coveredBy(after, sent)) << "nothing is counted that was not sent";
        std::uint64_t lost = grandTotal(sent) - grandTotal(after);
        EXPECT_LE(lost, grandTotal(sent) - grandTotal(lastSeen))
            << "only what came after the last save seen is lost";
        if (lost > 0) ++killedWithUnsaved;
        lostBytes += lost;
        sentBytes += grandTotal(sent) - grandTotal(roundStart);
        // What died with the daemon is gone for good; the next one starts from the database.
        sent = after;
    }

    // A daemon that is stopped properly saves everything it was given.
    {
        ASSERT_TRUE(eventually([&] { return !watcher->hasServer(kService); }));
        CollectorProcess collector(
            {"run", "--source", "stdin", "--save-interval", "3600", "--database", path},
            bus.address(), log);
        ASSERT_TRUE(eventually([&] { return watcher->hasServer(kService); })) << readFile(log);
        ASSERT_TRUE(collector.send(recordLines(99, 1, 300, sent)));
        // The lines may still be on their way when a save arrives, so it is asked again.
        EXPECT_TRUE(eventually([&] {
            watcher->send(kService, "save", std::nullopt);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            auto stored = storedTotals(path);
            return stored && perApplication(*stored) == sent;
        })) << readFile(log);
        EXPECT_EQ(collector.stop(SIGTERM), 0) << readFile(log);
        EXPECT_EQ(integrityCheck(path), "ok");
    }
    std::printf(
        "[ figures  ] collector killed %d times (%d with counts not yet saved): %llu of %llu "
        "bytes sent were lost, all of them sent after the last completed save\n",
        kRounds, killedWithUnsaved, static_cast<unsigned long long>(lostBytes),
        static_cast<unsigned long long>(sentBytes));
    SystemLog::setSendToSyslog(true);
    SystemLog::setEchoToStandardError(true);
}

}  // namespace
