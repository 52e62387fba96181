// The per-uid ledger: merging within a slot, acknowledgements, resending, the memory bound.
#include "trafficd/Log.h"
#include "trafficd/serving/DeltaLedger.h"
#include "trafficd/serving/LineFormat.h"

#include <gtest/gtest.h>

using namespace bytarn::trafficd;

namespace {
using Bytes = std::map<std::pair<std::string, std::string>, uint64_t>;
constexpr int64_t slotStart = 1765180800;  // a multiple of 900

std::vector<uint64_t> sendAll(DeltaLedger& ledger, uid_t uid, uint64_t after = 0) {
    std::vector<uint64_t> seqs;
    while (const Delta* delta = ledger.takeAfter(uid, after)) seqs.push_back(after = delta->seq);
    return seqs;
}
}  // namespace

TEST(TrafficdLedger, UnsentDeltasMergeWithinASlotOnly) {
    DeltaLedger ledger("00000000000000aa");
    ledger.add(1000, slotStart + 10, {{{"curl", "wifi"}, 100}});
    ledger.add(1000, slotStart + 899, {{{"curl", "wifi"}, 50}, {{"ssh", "cellular"}, 7}});
    ledger.add(1000, slotStart + 900, {{{"curl", "wifi"}, 1}});  // next slot
    ledger.add(1000, slotStart + 901, {{{"curl", "wifi"}, 0}});  // nothing: no delta
    ledger.add(1001, slotStart + 901, {{{"x", "wifi"}, 3}});     // another uid, its own seq
    ASSERT_EQ(ledger.pendingCount(1000), 2u);
    const Delta* first = ledger.takeAfter(1000, 0);
    EXPECT_EQ(first->seq, 1u);
    EXPECT_EQ(first->time, slotStart + 899);
    EXPECT_EQ(first->bytes, (Bytes{{{"curl", "wifi"}, 150}, {{"ssh", "cellular"}, 7}}));
    EXPECT_EQ(ledger.takeAfter(1001, 0)->seq, 1u);

    // A sent delta never changes, even within its slot.
    ledger.add(1000, slotStart + 950, {{{"curl", "wifi"}, 5}});  // merges into unsent seq 2
    EXPECT_EQ(ledger.takeAfter(1000, 1)->bytes, (Bytes{{{"curl", "wifi"}, 6}}));
    ledger.add(1000, slotStart + 960, {{{"curl", "wifi"}, 9}});
    EXPECT_EQ(ledger.takeAfter(1000, 2)->seq, 3u);
}

TEST(TrafficdLedger, AcknowledgementsDropOnlyWhatWasSentInThisEpoch) {
    DeltaLedger ledger("00000000000000aa");
    for (int i = 0; i < 4; ++i) ledger.add(0, slotStart + i * 900, {{{"sshd", "unknown"}, 10}});
    ASSERT_NE(ledger.takeAfter(0, 0), nullptr);
    EXPECT_FALSE(ledger.acknowledge(0, "00000000000000aa", 2));  // never sent
    EXPECT_FALSE(ledger.acknowledge(1, "00000000000000aa", 1));  // another uid's
    EXPECT_EQ(sendAll(ledger, 0), (std::vector<uint64_t>{1, 2, 3, 4}));
    EXPECT_FALSE(ledger.acknowledge(0, "00000000000000bb", 2));  // other epoch
    EXPECT_EQ(ledger.pendingCount(0), 4u);
    EXPECT_TRUE(ledger.acknowledge(0, "00000000000000aa", 2));
    // A reconnecting client gets the unacknowledged rest again, in order, with the same seqs.
    EXPECT_EQ(sendAll(ledger, 0), (std::vector<uint64_t>{3, 4}));
    EXPECT_EQ(ledger.sentOutstanding(0, 3), 1u);
    EXPECT_TRUE(ledger.acknowledge(0, "00000000000000aa", 4));
    EXPECT_EQ(ledger.pendingCount(0), 0u);
}

TEST(TrafficdLedger, MemoryBoundDropsTheOldestAndSaysSo) {
    DeltaLedger ledger("00000000000000aa", 3);
    setLogCapture(true);
    for (int i = 0; i < 5; ++i)
        ledger.add(1000, slotStart + i * 900, {{{"app" + std::to_string(i), "wifi"}, 1}});
    auto log = takeCapturedLog();
    setLogCapture(false);
    EXPECT_EQ(sendAll(ledger, 1000), (std::vector<uint64_t>{3, 4, 5}));
    ASSERT_EQ(log.size(), 1u);  // once per episode, not once per drop
    EXPECT_NE(log[0].find("uid 1000"), std::string::npos) << log[0];
}

// A reading of many applications is split into deltas of their own seqs, each of whose lines
// the collector takes (1 MiB at most), even with the longest names escaping to twice their size.
TEST(TrafficdLedger, ManyEntriesSplitIntoDeltasWhoseLinesFitTheCollectorsLimit) {
    DeltaLedger ledger("00000000000000aa");
    Bytes reading;
    const size_t entries = 2 * DeltaLedger::maxEntriesPerDelta + 5;  // three deltas
    for (size_t i = 0; i < entries; ++i) {
        std::string name = std::to_string(i) + std::string(250, '"');
        reading[{name.substr(0, 255), "cellular"}] = (uint64_t{1} << 63) - 1 - i;
    }
    ledger.add(1000, slotStart, reading);
    auto seqs = sendAll(ledger, 1000);
    ASSERT_EQ(seqs, (std::vector<uint64_t>{1, 2, 3}));
    size_t counted = 0;
    for (uint64_t seq : seqs) {
        const Delta* delta = ledger.takeAfter(1000, seq - 1);
        counted += delta->bytes.size();
        EXPECT_LE(delta->bytes.size(), DeltaLedger::maxEntriesPerDelta);
        EXPECT_LT(deltaLine(ledger.epoch(), *delta).size(), size_t{1} << 20);
    }
    EXPECT_EQ(counted, entries);
    // Acknowledging the pieces one at a time forgets exactly those.
    EXPECT_TRUE(ledger.acknowledge(1000, ledger.epoch(), 2));
    EXPECT_EQ(ledger.pendingCount(1000), 1u);
}
