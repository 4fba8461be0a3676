// CLocalRoutes: the subnet order (most specific first, the comes-first test
// exactly), ranges with both ends included, and the look-up.
#include "agent/appliance/local_routes.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/support/conmgr_fixture.h"

namespace {

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }

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
    routes.AddSubnet(Ip(10, 0, 0, 0), Ip(255, 0, 0, 0));  // duplicates are kept
    EXPECT_EQ(5u, routes.Subnets().size());
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
    routes.AddRange(Ip(200, 0, 0, 0), Ip(255, 255, 255, 255));
    EXPECT_TRUE(routes.IsLocalRoute(Ip(255, 255, 255, 255)));
    EXPECT_FALSE(routes.IsLocalRoute(Ip(127, 255, 255, 255)));
    EXPECT_EQ(2u, routes.Ranges().size());
}

TEST(LocalRoutes, LearningWhileLookingUp) {
    CLocalRoutes routes;
    std::thread learner([&] {
        for (uint32_t i = 0; i < 500; ++i) {
            routes.AddSubnet(Ip(10, i % 256, 0, 0), Ip(255, 255, 0, 0));
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

}  // namespace
