// The firewall routines against the tests' own firewall COM server
// (tests/support/win/firewall_store.h): Wine's own objects store nothing, so
// the store is registered under the same class ids for each case.
#include "tool/firewall.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/win/firewall_store.h"
#include "tests/support/win/service_manager.h"

namespace {

class Firewall : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)));
        registration_ =
            std::make_unique<bx::test::FirewallStoreRegistration>(bx::test::ExeDirectory() + L"firewall_store.dll");
        ASSERT_TRUE(registration_->Ok());
        bx::test::ClearOpenPorts();
        ASSERT_EQ(InitFireWall(profile_), S_OK);
        ASSERT_TRUE(profile_);
    }
    void TearDown() override {
        profile_.reset();
        bx::test::ClearOpenPorts();
        registration_.reset();
        CoUninitialize();
    }
    bool IsOpen(LONG port) {
        bool open = true;
        EXPECT_EQ(FireWallPortIsOpen(profile_.get(), port, open), S_OK);
        return open;
    }

    std::unique_ptr<bx::test::FirewallStoreRegistration> registration_;
    bx::win::ComPtr<INetFwProfile> profile_;
};

TEST_F(Firewall, OpenMeansAnEnabledUdpEntry) {
    bx::test::AddOpenPort({L"udp on", 2000, 17, true});
    bx::test::AddOpenPort({L"udp off", 2001, 17, false});
    bx::test::AddOpenPort({L"tcp on", 2002, 6, true});
    EXPECT_TRUE(IsOpen(2000));
    EXPECT_FALSE(IsOpen(2001));
    EXPECT_FALSE(IsOpen(2002));
    EXPECT_FALSE(IsOpen(2003));  // no entry: not open, and no error
}

TEST_F(Firewall, AddNamesAnEnabledUdpEntryOnceAndRemoveTakesOnlyIt) {
    ASSERT_EQ(FireWallPortAdd(profile_.get(), 2259, L"Brontavex Halvern UDP 2259"), S_OK);
    ASSERT_EQ(FireWallPortAdd(profile_.get(), 2259, L"a second name"), S_OK);
    bx::test::AddOpenPort({L"tcp", 2259, 6, true});
    std::vector<bx::test::OpenPortEntry> ports = bx::test::ReadOpenPorts();
    ASSERT_EQ(ports.size(), 2u);
    for (const auto& entry : ports) {
        if (entry.protocol != 17) continue;
        EXPECT_EQ(entry.name, L"Brontavex Halvern UDP 2259");
        EXPECT_EQ(entry.port, 2259);
        EXPECT_TRUE(entry.enabled);
    }
    ASSERT_EQ(FireWallPortRemove(profile_.get(), 2259), S_OK);
    ports = bx::test::ReadOpenPorts();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].protocol, 6);
    EXPECT_EQ(FireWallPortRemove(profile_.get(), 2259), S_OK) << "nothing to remove is no error";
}

TEST_F(Firewall, ADisabledEntryIsReplacedByAnEnabledOneAndNotRemoved) {
    bx::test::AddOpenPort({L"switched off", 2300, 17, false});
    EXPECT_EQ(FireWallPortRemove(profile_.get(), 2300), S_OK);
    ASSERT_EQ(bx::test::ReadOpenPorts().size(), 1u) << "a port that is not open is left alone";
    ASSERT_EQ(FireWallPortAdd(profile_.get(), 2300, L"Brontavex Halvern UDP 2300"), S_OK);
    std::vector<bx::test::OpenPortEntry> ports = bx::test::ReadOpenPorts();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_TRUE(ports[0].enabled);
    EXPECT_EQ(ports[0].name, L"Brontavex Halvern UDP 2300");
}

TEST_F(Firewall, ARefusedPortStopsTheAddAndStoresNothing) {
    EXPECT_TRUE(FAILED(FireWallPortAdd(profile_.get(), 70000, L"too big")));
    EXPECT_TRUE(bx::test::ReadOpenPorts().empty());
}

TEST(FirewallWithoutProfile, EveryRoutineRefusesANullProfile) {
    bool open = true;
    EXPECT_EQ(FireWallPortIsOpen(nullptr, 1, open), E_POINTER);
    EXPECT_FALSE(open);
    EXPECT_EQ(FireWallPortAdd(nullptr, 1, L"x"), E_POINTER);
    EXPECT_EQ(FireWallPortRemove(nullptr, 1), E_POINTER);
}

}  // namespace
