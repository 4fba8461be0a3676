// CLocalRoutes: the subnet order (most specific first, the comes-first test
// exactly), ranges with both ends included, and the look-up.
#include "agent/appliance/local_routes.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/conmgr_fixture.h"

namespace {

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }

// The look-up against the plain rule over the tables the routes report, at
// the given probes, the ends of the address space and around every range.
void ExpectAgreesWithPlainRule(const CLocalRoutes& routes, std::vector<uint32_t> probes) {
    const std::vector<bx::Subnet> subnets = routes.Subnets();
    const std::vector<bx::AddressRange> ranges = routes.Ranges();
    auto plain = [&](uint32_t a) {
        for (const bx::Subnet& s : subnets)
            if ((a & s.mask) == s.network) return true;
        for (const bx::AddressRange& r : ranges)
            if (r.first <= a && a <= r.last) return true;
        return false;
    };
    for (uint32_t a : {0u, 1u, UINT32_MAX, UINT32_MAX - 1}) probes.push_back(a);
    for (const bx::AddressRange& r : ranges)
        for (uint32_t a : {r.first - 1, r.first, r.last, r.last + 1}) probes.push_back(a);
    size_t disagreements = 0, matched = 0;
    std::ostringstream first;
    for (uint32_t a : probes) {
        const bool local = plain(a);
        matched += local ? 1 : 0;
        if (routes.IsLocalRoute(a) == local) continue;
        if (disagreements++ == 0) first << std::hex << a;
    }
    EXPECT_EQ(0u, disagreements) << "first at 0x" << first.str();
    EXPECT_GT(matched, probes.size() / 20) << "too few probes in a route to prove the look-up";
    EXPECT_LT(matched, probes.size() - probes.size() / 20) << "too few probes outside every route";
}

TEST(LocalRoutes, MoreSpecificSubnetGoesInFront) {
    CLocalRoutes routes;
    routes.AddSubnet(Ip(10, 0, 0, 0), Ip(255, 0, 0, 0));
    routes.AddSubnet(Ip(10, 1, 0, 0), Ip(255, 255, 0, 0));
    EXPECT_EQ((std::vector<bx::Subnet>{{Ip(10, 1, 0, 0), Ip(255, 255, 0, 0)}, {Ip(10, 0, 0, 0), Ip(255, 0, 0, 0)}}),
              routes.Subnets());
    EXPECT_TRUE(routes.IsLocalRoute(Ip(10, 2, 3, 4)));
    EXPECT_TRUE(routes.IsLocalRoute(Ip(10, 1, 9, 9)));
    EXPECT_FALSE(routes.IsLocalRoute(Ip(11, 0, 0, 1)));
}

TEST(LocalRoutes, LessSpecificSubnetGoesBehindAndEqualMasksInFront) {
    CLocalRoutes routes;
    routes.AddSubnet(Ip(10, 1, 0, 0), Ip(255, 255, 0, 0));
    routes.AddSubnet(Ip(10, 0, 0, 0), Ip(255, 0, 0, 0));         // behind the /16
    routes.AddSubnet(Ip(192, 168, 1, 0), Ip(255, 255, 255, 0));  // in front of all
    routes.AddSubnet(Ip(172, 16, 0, 0), Ip(255, 255, 0, 0));     // same mask as 10.1/16: in front of it
    const std::vector<bx::Subnet> expected{{Ip(192, 168, 1, 0), Ip(255, 255, 255, 0)},
                                           {Ip(172, 16, 0, 0), Ip(255, 255, 0, 0)},
                                           {Ip(10, 1, 0, 0), Ip(255, 255, 0, 0)},
                                           {Ip(10, 0, 0, 0), Ip(255, 0, 0, 0)}};
    EXPECT_EQ(expected, routes.Subnets());
    routes.AddSubnet(Ip(10, 0, 0, 0), Ip(255, 0, 0, 0));  // already held: not added again
    EXPECT_EQ(expected, routes.Subnets());
}

TEST(LocalRoutes, ComesFirstTest) {
    bx::test::LogCapture log(bx::test::CaseFile(".log"));
    CLocalRoutes routes;
    routes.SetLogger(log.Logger());
    const bx::Subnet slash8{Ip(10, 0, 0, 0), Ip(255, 0, 0, 0)};
    const bx::Subnet slash16{Ip(10, 1, 0, 0), Ip(255, 255, 0, 0)};
    // Masks decide when either is non-zero.
    EXPECT_FALSE(routes.ComesFirst(slash8, slash16));   // E's bits all in N's mask
    EXPECT_TRUE(routes.ComesFirst(slash16, slash8));    // N's bits all in E's mask
    EXPECT_FALSE(routes.ComesFirst(slash16, slash16));  // equal masks: the new one in front
    // Masks that do not nest fall back to the networks, the greater first.
    const bx::Subnet oddA{Ip(1, 0, 0, 0), 0xFF00FF00u};
    const bx::Subnet oddB{Ip(2, 0, 0, 0), 0x00FF00FFu};
    EXPECT_FALSE(routes.ComesFirst(oddA, oddB));
    EXPECT_TRUE(routes.ComesFirst(oddB, oddA));
    // A zero mask against a non-zero one: the zero mask lies in every mask.
    const bx::Subnet any{Ip(0, 0, 0, 0), 0};
    EXPECT_FALSE(routes.ComesFirst(any, slash8));
    EXPECT_TRUE(routes.ComesFirst(slash8, any));
    // Both masks zero: networks; equal networks cannot be ordered.
    EXPECT_TRUE(routes.ComesFirst({Ip(9, 0, 0, 0), 0}, {Ip(8, 0, 0, 0), 0}));
    EXPECT_FALSE(routes.ComesFirst({Ip(8, 0, 0, 0), 0}, {Ip(9, 0, 0, 0), 0}));
    EXPECT_EQ(0u, log.Count("Failed to Compare subnets"));
    EXPECT_FALSE(routes.ComesFirst({Ip(8, 0, 0, 0), 0}, {Ip(8, 0, 0, 0), 0}));
    EXPECT_EQ(1u, log.Count("Failed to Compare subnets:\t\t\t SubNet1: N/w:'8.0.0.0' Mask:'0.0.0.0' \t\t\t "
                            "Subnet2: N/w:'8.0.0.0' Mask:'0.0.0.0'"));
}

// (address & mask) never equals a network with a bit outside the mask.
TEST(LocalRoutes, NetworkWithBitsOutsideItsMaskMatchesNothing) {
    CLocalRoutes routes;
    routes.AddSubnet(Ip(70, 1, 2, 3), Ip(255, 255, 255, 0));
    routes.AddSubnet(Ip(71, 0, 9, 0), 0xFF00F000u);  // holed mask, 0x09 outside it
    for (uint32_t a : {Ip(70, 1, 2, 3), Ip(70, 1, 2, 0), Ip(71, 0, 9, 0), Ip(71, 5, 9, 7), Ip(71, 0, 0, 0)})
        EXPECT_FALSE(routes.IsLocalRoute(a)) << std::hex << a;
}

TEST(LocalRoutes, RangeIncludesBothEnds) {
    CLocalRoutes routes;
    EXPECT_FALSE(routes.IsLocalRoute(Ip(192, 168, 1, 10)));
    routes.AddRange(Ip(192, 168, 1, 10), Ip(192, 168, 1, 20));
    EXPECT_FALSE(routes.IsLocalRoute(Ip(192, 168, 1, 9)));
    EXPECT_TRUE(routes.IsLocalRoute(Ip(192, 168, 1, 10)));
    EXPECT_TRUE(routes.IsLocalRoute(Ip(192, 168, 1, 15)));
    EXPECT_TRUE(routes.IsLocalRoute(Ip(192, 168, 1, 20)));
    EXPECT_FALSE(routes.IsLocalRoute(Ip(192, 168, 1, 21)));
    // Comparisons are unsigned: a range above 128.0.0.0 works.
    routes.AddRange(Ip(255, 0, 0, 0), Ip(255, 255, 255, 255));
    EXPECT_TRUE(routes.IsLocalRoute(Ip(255, 255, 255, 255)));
    EXPECT_FALSE(routes.IsLocalRoute(Ip(254, 255, 255, 255)));
    EXPECT_EQ(2u, routes.Ranges().size());
}

TEST(LocalRoutes, LearningWhileLookingUp) {
    CLocalRoutes routes;
    std::thread learner([&] {
        for (uint32_t i = 0; i < 500; ++i) {
            routes.AddSubnet(Ip(10, i >> 8, i & 0xFF, 0), Ip(255, 255, 255, 0));
            routes.AddRange(Ip(20, 0, 0, 0) + i, Ip(20, 0, 0, 0) + i);
        }
    });
    uint32_t seen = 0;
    for (uint32_t i = 0; i < 5000; ++i) seen += routes.IsLocalRoute(Ip(20, 0, 0, 0) + i % 500) ? 1 : 0;
    learner.join();
    EXPECT_TRUE(routes.IsLocalRoute(Ip(20, 0, 1, 243)));
    EXPECT_EQ(500u, routes.Subnets().size());
    (void)seen;
}

TEST(LocalRoutes, RangeAlreadyHeldIsNotAddedAgain) {
    CLocalRoutes routes;
    routes.AddRange(Ip(192, 168, 1, 10), Ip(192, 168, 1, 20));
    routes.AddRange(Ip(192, 168, 1, 10), Ip(192, 168, 1, 20));
    routes.AddRange(Ip(192, 168, 1, 10), Ip(192, 168, 1, 21));  // another range
    EXPECT_EQ((std::vector<bx::AddressRange>{{Ip(192, 168, 1, 10), Ip(192, 168, 1, 20)},
                                             {Ip(192, 168, 1, 10), Ip(192, 168, 1, 21)}}),
              routes.Ranges());
}

// A route of more than 2^24 addresses would silence too much (0.0.0.0/0 every
// notification): refused, counted, and logged once in a burst of refusals.
TEST(LocalRoutes, BroadRoutesAreRefusedAndLoggedOncePerBurst) {
    bx::test::LogCapture log(bx::test::CaseFile(".log"));
    CLocalRoutes routes;
    routes.SetLogger(log.Logger());
    routes.AddSubnet(0, 0);
    routes.AddSubnet(Ip(10, 0, 0, 0), Ip(254, 0, 0, 0));  // 7 leading ones
    routes.AddSubnet(Ip(0, 0, 0, 10), Ip(0, 0, 0, 255));  // no leading one
    routes.AddRange(0, UINT32_MAX);
    routes.AddRange(Ip(40, 0, 0, 0), Ip(41, 0, 0, 0));  // 2^24 + 1
    EXPECT_EQ(5u, routes.Refused());
    EXPECT_TRUE(routes.Subnets().empty());
    EXPECT_TRUE(routes.Ranges().empty());
    EXPECT_FALSE(routes.IsLocalRoute(Ip(198, 18, 200, 7)));
    EXPECT_EQ(1u, log.Count("UTM:resp Refused local subnet (network, mask) '0.0.0.0' '0.0.0.0': it holds more than "
                            "16777216 addresses (0 more refused since the last such line)"));
    EXPECT_EQ(1u, log.Count("UTM:resp Refused local"));

    // 2^24 addresses at most: taken.
    routes.AddSubnet(Ip(10, 0, 0, 0), Ip(255, 0, 0, 0));
    routes.AddSubnet(Ip(11, 0, 0, 0), Ip(255, 0, 255, 0));
    routes.AddRange(Ip(40, 0, 0, 0), Ip(40, 255, 255, 255));
    EXPECT_EQ(2u, routes.Subnets().size());
    EXPECT_EQ(1u, routes.Ranges().size());
    EXPECT_EQ(5u, routes.Refused());
}

// Each table holds at most kMaxLocalRoutes entries; the first entry refused
// by each is logged once, and a refused entry routes nothing.
TEST(LocalRoutes, EachTableStopsAtItsMaximumAndSaysSoOnce) {
    bx::test::LogCapture log(bx::test::CaseFile(".log"));
    CLocalRoutes routes;
    routes.SetLogger(log.Logger());
    const uint32_t base = Ip(10, 0, 0, 0);
    for (uint32_t i = 0; i < bx::kMaxLocalRoutes; ++i) {
        routes.AddSubnet(base + (i << 8), Ip(255, 255, 255, 0));
        routes.AddRange(Ip(20, 0, 0, 0) + 2 * i, Ip(20, 0, 0, 0) + 2 * i);
    }
    EXPECT_EQ(bx::kMaxLocalRoutes, routes.Subnets().size());
    EXPECT_EQ(bx::kMaxLocalRoutes, routes.Ranges().size());
    EXPECT_EQ(0u, log.Count("table is full"));
    const uint32_t lastSubnet = base + ((bx::kMaxLocalRoutes - 1) << 8);
    const uint32_t lastRange = Ip(20, 0, 0, 0) + 2 * (bx::kMaxLocalRoutes - 1);
    EXPECT_TRUE(routes.IsLocalRoute(lastSubnet + 7));
    EXPECT_TRUE(routes.IsLocalRoute(lastRange));
    EXPECT_FALSE(routes.IsLocalRoute(lastRange - 1));

    for (int k = 0; k < 3; ++k) {
        routes.AddSubnet(Ip(172, 16, 0, 0), Ip(255, 255, 0, 0));
        routes.AddRange(Ip(30, 0, 0, 0), Ip(30, 0, 0, 9));
    }
    EXPECT_EQ(bx::kMaxLocalRoutes, routes.Subnets().size());
    EXPECT_EQ(bx::kMaxLocalRoutes, routes.Ranges().size());
    EXPECT_FALSE(routes.IsLocalRoute(Ip(172, 16, 1, 1)));
    EXPECT_FALSE(routes.IsLocalRoute(Ip(30, 0, 0, 5)));
    EXPECT_EQ(1u, log.Count("UTM:resp Local route subnet table is full (4096 entries)"));
    EXPECT_EQ(1u, log.Count("UTM:resp Local route range table is full (4096 entries)"));
}

// The look-up answers as the plain rule does over the tables it reports:
// overlapping, nested, adjoining and empty ranges, masks of every shape,
// networks with bits outside their mask, the ends of the address space.
TEST(LocalRoutes, LookUpAgreesWithThePlainRule) {
    std::mt19937 random(20261209);
    CLocalRoutes routes;
    auto pick = [&](uint32_t limit) { return static_cast<uint32_t>(random() % limit); };
    for (int i = 0; i < 1500; ++i) {
        const uint32_t width = pick(4) == 0 ? random() : pick(5000);
        const uint32_t first = pick(8) == 0 ? 0u : Ip(50, 0, 0, 0) + pick(200000);
        const uint32_t last = pick(16) == 0 ? UINT32_MAX : first + width;
        if (pick(10) == 0)
            routes.AddRange(last, first);  // backwards: holds nothing unless equal
        else
            routes.AddRange(first, last < first ? UINT32_MAX : last);
        const uint32_t prefix = pick(33);
        uint32_t mask = prefix == 0 ? 0 : ~0u << (32 - prefix);
        if (pick(10) == 0) mask = random();  // not contiguous
        uint32_t network = Ip(60, 0, 0, 0) + (pick(4096) << 12);
        if (pick(10) != 0) network &= mask;
        routes.AddSubnet(network, mask);
    }
    std::vector<uint32_t> probes;
    for (int i = 0; i < 20000; ++i) probes.push_back(pick(2) ? random() : Ip(50, 0, 0, 0) + pick(300000));
    for (int i = 0; i < 5000; ++i) probes.push_back(Ip(60, 0, 0, 0) + pick(1u << 24));
    ExpectAgreesWithPlainRule(routes, probes);
}

// The ranges' search at every edge of its leaves of 16 intervals and of its
// groups of 16 leaves: from 1 to 300 intervals, and full.
TEST(LocalRoutes, RangeSearchAtEveryEdgeOfItsLeavesAndGroups) {
    CLocalRoutes routes;
    for (uint32_t i = 0; routes.Ranges().size() < bx::kMaxLocalRoutes; ++i) {
        routes.AddRange(Ip(20, 0, 0, 0) + 8 * i, Ip(20, 0, 0, 0) + 8 * i + 2);
        const size_t count = routes.Ranges().size();
        if (count <= 300 || count == bx::kMaxLocalRoutes) ExpectAgreesWithPlainRule(routes, {});
    }
}

// Full tables, the bitsets grown through every size: subnets that fix one
// lower byte and some bits of the next (holed masks), networks of a few
// leading bytes, and ranges packed at the top of the address space.
TEST(LocalRoutes, FullTablesOfHoledMasksAgreeWithThePlainRule) {
    std::mt19937 random(4096);
    CLocalRoutes routes;
    for (uint32_t i = 0; routes.Subnets().size() < bx::kMaxLocalRoutes; ++i) {
        const int shift = 8 * static_cast<int>(i % 2);
        const uint32_t mask = 0xFF000000u | 0xFFu << shift | (static_cast<uint32_t>(random()) & 0xFFu) << (shift + 8);
        routes.AddSubnet(Ip(10 + i % 4, 0, 0, 0) | (static_cast<uint32_t>(random()) & mask & 0x00FFFFFFu), mask);
    }
    for (uint32_t i = 0; routes.Ranges().size() < bx::kMaxLocalRoutes; ++i)
        routes.AddRange(UINT32_MAX - 8 * i - 5, UINT32_MAX - 8 * i - random() % 5);
    std::vector<uint32_t> probes;
    for (int i = 0; i < 40000; ++i) probes.push_back(Ip(10 + i % 4, 0, 0, 0) | (static_cast<uint32_t>(random()) >> 8));
    for (int i = 0; i < 10000; ++i) probes.push_back(UINT32_MAX - static_cast<uint32_t>(random() % 40000));
    ExpectAgreesWithPlainRule(routes, probes);
}

}  // namespace
