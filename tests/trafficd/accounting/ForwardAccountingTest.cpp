// Forwarded traffic without a kernel: the kind ranking, each counter's growth by kind, and the
// reading of nft's answer.
#include <gtest/gtest.h>

#include <net/if.h>

#include "trafficd/accounting/ForwardAccounting.h"

using namespace bytarn::trafficd;

namespace {
constexpr auto wifi = InterfaceKind::wifi, cellular = InterfaceKind::cellular,
               other = InterfaceKind::unknown, ignore = InterfaceKind::ignore;
}  // namespace

TEST(TrafficdForwarded, KindIsTheFirstOfCellularWifiOtherAndAnIgnoredSideNeverRanks) {
    struct Case {
        InterfaceKind in, out;
        std::optional<InterfaceKind> counted;
    };
    const Case cases[] = {
        {cellular, cellular, cellular},
        {cellular, wifi, cellular},
        {wifi, cellular, cellular},
        {cellular, other, cellular},
        {other, cellular, cellular},
        {wifi, wifi, wifi},
        {wifi, other, wifi},
        {other, wifi, wifi},
        {other, other, other},
        {ignore, cellular, cellular},
        {cellular, ignore, cellular},
        {ignore, wifi, wifi},
        {wifi, ignore, wifi},
        {ignore, other, other},
        {other, ignore, other},
        {ignore, ignore, {}},
    };
    for (const auto& [in, out, counted] : cases)
        EXPECT_EQ(forwardedKind(in, out), counted) << kindName(in) << " -> " << kindName(out);
}

TEST(TrafficdForwarded, GrowthPerReadingByKindAndGoneInterfacesElementsAreHandedBack) {
    // 2 Wi-Fi, 3 cellular, 4 a container's link (other), 5 ignored by a rule, 1 loopback; 9 was
    // never seen.
    std::map<unsigned, std::string> names{{1, "lo"},    {2, "wlan0"}, {3, "wwan0"},
                                          {4, "veth1"}, {5, "tap0"},  {6, "br0"}};
    InterfaceKinds interfaces(
        {{"wlan*", wifi, "rule 1"}, {"wwan*", cellular, "rule 2"}, {"tap*", ignore, "rule 3"}},
        "/nonexistent", [&](unsigned index) -> std::optional<std::string> {
            auto found = names.find(index);
            return found == names.end() ? std::nullopt : std::optional(found->second);
        });
    ForwardAccounting accounting;
    auto routed = [](unsigned in, unsigned out, uint64_t bytes, bool gone = false) {
        return ForwardReading{in, out, false, gone, bytes};
    };
    auto first = accounting.account({routed(4, 2, 1000),
                                     routed(2, 4, 300),
                                     routed(4, 3, 50),
                                     routed(5, 2, 7000),
                                     routed(1, 4, 9000),
                                     routed(6, 6, 4000),
                                     {6, 6, true, false, 200},
                                     routed(9, 4, 80, true)},
                                    interfaces);
    // The bridge's pass through the routed hook (in and out the bridge) is the bridged frame's
    // second sight: only the bridge table's element counts.
    EXPECT_EQ(first.bytesByKind, (std::map<std::string, uint64_t>{
                                     {"wifi", 8300}, {"cellular", 50}, {"unknown", 9280}}));
    ASSERT_EQ(first.gone.size(), 1u);
    EXPECT_EQ(first.gone[0], routed(9, 4, 80, true));

    // Growth only; an element below its last total was made again (all new); the gone one's
    // element is deleted, so a new element of that pair starts from nothing.
    names.erase(4);
    auto second = accounting.account(
        {routed(4, 2, 1500, true), routed(2, 4, 100), routed(4, 3, 50, true), routed(9, 4, 30)},
        interfaces);
    EXPECT_EQ(second.bytesByKind,
              (std::map<std::string, uint64_t>{{"wifi", 600}, {"unknown", 30}}));
    EXPECT_EQ(second.gone.size(), 2u);
    auto third = accounting.account({routed(2, 4, 100), routed(4, 2, 10)}, interfaces);
    EXPECT_EQ(third.bytesByKind, (std::map<std::string, uint64_t>{{"wifi", 10}}));
}

TEST(TrafficdForwarded, NftAnswerNamesLiveInterfacesAndNumbersGoneOnes) {
    // nft prints an interface by name while it exists, by number once it is gone.
    std::string answer = R"({"nftables": [{"metainfo": {"version": "1.0.6"}},
        {"set": {"family": "inet", "name": "forwarded", "table": "bytarn_trafficd",
         "type": ["iface_index", "iface_index"], "size": 4096, "elem": [
          {"elem": {"val": {"concat": ["lo", "lo"]}, "counter": {"packets": 2, "bytes": 128}}},
          {"elem": {"val": {"concat": ["lo", "4000000"]}, "counter": {"packets": 1, "bytes": 60}}},
          {"elem": {"val": {"concat": [4000001, "lo"]}, "counter": {"packets": 1, "bytes": 70}}},
          {"elem": {"val": {"concat": ["no-such-if", "lo"]}, "counter": {"bytes": 80}}},
          {"elem": {"val": {"concat": ["lo", "lo"]}, "counter": {"bytes": -1}}},
          {"elem": {"val": "lo"}}]}}]})";
    unsigned lo = if_nametoindex("lo");
    ASSERT_NE(lo, 0u);
    EXPECT_EQ(ForwardCounters::parseElements(answer, true),
              (std::vector<ForwardReading>{{lo, lo, true, false, 128},
                                           {lo, 4000000, true, true, 60},
                                           {4000001, lo, true, true, 70}}));
    EXPECT_TRUE(ForwardCounters::parseElements("Error: no such table", false).empty());
    EXPECT_TRUE(ForwardCounters::parseElements(R"({"nftables": [{"set": 3}]})", false).empty());
}
