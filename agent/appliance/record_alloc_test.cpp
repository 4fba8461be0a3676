// Records are not lost when a copy of a name cannot allocate: the logoff
// notification and the resend after "Unknown SessionID" copy user and domain
// names into a record taken from the pool, and a copy that throws must give
// the record back. This program replaces the global operator new so that a
// case can make large allocations of its own thread fail on demand.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "agent/appliance/conn_cache_mgr.h"
#include "tests/support/conmgr_fixture.h"
#include "tests/support/datagrams.h"

namespace {

// Allocations of at least this many bytes fail on the arming thread (0: none)
// once `skip` of them have succeeded.
thread_local size_t tFailFrom = 0;
thread_local int tSkip = 0;

// Large allocations fail on this thread while the object lives.
class FailLargeAllocations {
public:
    explicit FailLargeAllocations(size_t bytes, int skip = 0) {
        tFailFrom = bytes;
        tSkip = skip;
    }
    ~FailLargeAllocations() { tFailFrom = 0; }
};

}  // namespace

void* operator new(std::size_t size) {
    if (tFailFrom != 0 && size >= tFailFrom) {
        if (tSkip == 0) throw std::bad_alloc();
        --tSkip;
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
// Every other plain form goes to the same malloc and free, so that memory
// allocated by one form and freed by another (the logging library uses the
// nothrow form) stays paired.
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using bx::test::Datagram;
namespace wire = bx::wire;

// A name long enough that its copy is the only allocation that large.
const std::wstring kLongUser(4096, L'u');
constexpr size_t kLarge = 4096 * sizeof(wchar_t);

class RecordAlloc : public bx::test::SettingsTest {
protected:
    void SetUp() override {
        bx::test::SettingsTest::SetUp();
        Dword(L"verbose", 0);  // no debug line formats the long name
        String(L"key", L"0123456789ABCDEF");
        String(L"ip", L"127.0.0.1");
        Dword(L"port", bx::test::FreeUdpPort());
        bx::test::MakeSmallPool(pool_, 16);
        startFree_ = pool_.FreeCount();
        mgr_ = std::make_unique<CConnectionCacheMgr>(pool_, sessions_);
        log_ = std::make_unique<bx::test::LogCapture>(bx::test::CaseFile(".log"));
        mgr_->SetLogger(log_->Logger());
    }
    void TearDown() override {
        mgr_.reset();
        bx::test::SettingsTest::TearDown();
    }

    CBufferPool pool_;
    SessionMap sessions_;
    uint32_t startFree_ = 0;
    std::unique_ptr<bx::test::LogCapture> log_;
    std::unique_ptr<CConnectionCacheMgr> mgr_;
};

TEST_F(RecordAlloc, LogoffWhoseNameCannotBeCopiedGivesTheRecordBack) {
    bool threw = false;
    uint32_t result = 0;
    {
        FailLargeAllocations failing(kLarge);
        try {
            result = mgr_->SendLogoffNotification(9, kLongUser, L"CORP");
        } catch (const std::bad_alloc&) {
            threw = true;
        }
    }
    EXPECT_FALSE(threw);  // the control thread's caller sees a result, not an exception
    EXPECT_EQ(8u, result);
    EXPECT_EQ(0u, mgr_->Queue().Count());
    EXPECT_EQ(startFree_, pool_.FreeCount());

    // With memory to spare the same logoff is queued.
    EXPECT_EQ(0u, mgr_->SendLogoffNotification(9, kLongUser, L"CORP"));
    EXPECT_EQ(1u, mgr_->Queue().Count());
}

// The resend of a connection the agent reported copies what the agent knows of
// it (the long name here); a copy that cannot allocate loses no record.
TEST_F(RecordAlloc, UnknownSessionResendLosesNoRecordWhenMemoryRunsShort) {
    bx::test::OneReportedConnection reported;
    reported.connection.kind = bx::kKindConnection;
    reported.connection.protocol = bx::kProtocolTcp;
    reported.connection.local_ip = 0x0A000001u;
    reported.connection.local_port = 0x5000;  // 80 in network order
    reported.connection.session_id = 3;
    reported.connection.user = kLongUser;
    mgr_->SetReportedConnections(&reported);
    const Datagram answer = Datagram(800)
                                .Error(wire::kErrorUnknownSessionId)
                                .U8(wire::kTlvProtOp, wire::ProtOpByte(wire::kOperationOpen, wire::kProtocolTcp))
                                .U16(wire::kTlvPort, 80)
                                .U8(wire::kTlvNumIps, 1)
                                .U32(wire::kTlvIp, 0x0A000001u)
                                .SessionId(3);
    for (int skip : {0, 1}) {
        {
            // The look-up's copy of the names fails, then the copy after it.
            FailLargeAllocations failing(kLarge, skip);
            try {
                mgr_->HandleResponse(answer.Bytes().data(), answer.Bytes().size(), 4711);
            } catch (const std::bad_alloc&) {
                // The listener catches it and drops the datagram.
            }
        }
        // Every record is either back in the pool or queued, never lost.
        EXPECT_EQ(startFree_, pool_.FreeCount() + mgr_->Queue().Count()) << "skip " << skip;
    }
    ASSERT_EQ(0u, mgr_->HandleResponse(answer.Bytes().data(), answer.Bytes().size(), 4711));
    send_data_t* resend = mgr_->Queue().Dequeue();
    ASSERT_NE(nullptr, resend);
    EXPECT_EQ(kLongUser, resend->user);
    pool_.Release(resend);
}

}  // namespace
