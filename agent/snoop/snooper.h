// Snooper: turns the snoop driver's records into notifications for the
// appliance.
//
// It owns the driver connection (CSnoopDevice and the 256-byte record
// buffer), the address table, the appliance settings record, the session map,
// the send-data pool and the connection manager. The host's run loop calls it
// on the service thread: Initialise once, OpenDevice once, then HandleEvent and
// ReadSnoopEvents each time the read's completion event fires. Session logon
// and logoff arrive on the service control handler's thread (OnSessionChange).
//
// The address table maps (protocol, local port, local address) to what the
// last open of that address said; a clean-up reports a close for the open
// that holds it. TCP and UDP on one address and port are two entries.
// Entries are never removed while the agent runs. The service thread changes
// the table under its lock; the connection manager's listener reads it under
// the same lock when the appliance asks for a connection again
// (CReportedConnections). The service thread's own reads need no lock: no one
// else writes.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>

#include "agent/appliance/conn_cache_mgr.h"
#include "agent/appliance/wake_pacer.h"
#include "agent/identity/session_map.h"
#include "agent/identity/sid.h"
#include "agent/records/buffer_pool.h"
#include "agent/settings/hvn_configuration.h"
#include "agent/settings/log_impl.h"
#include "agent/snoop/address_table.h"
#include "agent/snoop/read_backoff.h"
#include "agent/snoop/snoop_device.h"
#include "agent/snoop/snoop_event.h"

class Snooper : public CLogImpl, public CReportedConnections {
public:
    // In this order: the address table, the settings record, the session
    // map, the pool object, the connection manager (which reads its own
    // settings and starts its log file), the device (not open);
    // then the IV generator is seeded with the tick count and the pool's
    // starting segments are built from its settings.
    Snooper();
    ~Snooper() override;
    Snooper(const Snooper&) = delete;
    Snooper& operator=(const Snooper&) = delete;

    // Stores the logger and hands it to the settings record, the connection
    // manager and the pool (null detaches them all).
    void SetLogger(CBXLogger* logger) override;

    // The host's events: the send event (never signalled by anyone), the stop
    // event, and the auto-reset event the driver read's completion signals.
    // Each must outlive the snooper's use of it.
    void SetSendEvent(bx::sync::Event& event) { sendEvent_ = &event; }
    void SetStopEvent(bx::sync::Event& event) { stopEvent_ = &event; }
    void SetReadEvent(bx::sync::Event& event) { device_.SetCompletionEvent(event); }

    // Starts Windows Sockets (2.2) and the connection manager. 0, or the
    // error that stopped it (logged).
    uint32_t Initialise();

    // Opens the driver's device and issues the first read. Failures are
    // logged and the agent goes on without driver records; returns 0.
    uint32_t OpenDevice();

    // What became of the read whose completion event fired.
    enum class ReadCheck {
        Whole,    // completed with a whole record: handle it, then read again
        Failed,   // failed or short (logged): nothing to handle; pause
                  // ReadPauseMs, then read again
        Pending,  // not completed (the event fired for nothing): the request
                  // stays outstanding, no new one is issued
    };
    // Checks the completed read (its result and the bytes it transferred)
    // before the buffer is handled, so that a failed or short read never
    // hands the previous record on again. The first failure of a burst is
    // logged as an error, the later ones at debug, the recovery once.
    ReadCheck CheckCompletedRead();
    // The pause before the next read while reads keep failing: 0 after a
    // whole record, else 10 ms doubling up to 1 s.
    uint32_t ReadPauseMs() const { return readBackoff_.PauseMs(); }

    // The completed read's record: an open or a clean-up is handled, any
    // other type ignored. 1 when handled, 0 when handling it raised an
    // exception (logged; the record is dropped).
    int HandleEvent();
    // The send event: nothing to do; 1.
    int HandleSend() { return 1; }

    // Issues the next ReadSnoopEvents request. 0 when it is pending or done,
    // else the system's error (logged). A request left pending ends the run
    // of records read without a wait; under a sustained load the service
    // thread then pauses (CWakePacer) before the host's loop waits again, so
    // that the next records wait for it together instead of waking it one
    // by one.
    uint32_t ReadSnoopEvents();

    // A session logged on or off (the service's session-change control):
    // logon records the session's user, logoff of a known session sends its
    // logoff notification. Every other event type is ignored.
    void OnSessionChange(uint32_t eventType, uint32_t sessionId);

    // From now on session changes are ignored (one debug line each): the
    // host calls this when stopping begins.
    void RefuseSessionChanges() { refuseSessionChanges_ = true; }

    // Shut-down steps of the host, in its order.
    uint32_t CancelRead(uint32_t waitMs) { return device_.CancelRead(waitMs); }
    // Stops the connection manager (its producers are refused from the
    // first step on) and, once every thread that can touch a record has been
    // joined, ends the sockets library use and frees the pool's memory. 0,
    // or 1460 when a thread overran its stop bound: the sockets library and
    // the pool then stay as they are (the destructor joins the thread before
    // either goes), so that no record is released into freed memory.
    uint32_t StopConnections();
    void CloseDevice() { device_.Close(); }
    // Ends the Windows Sockets use that Initialise started (once).
    void SocketsCleanup();

    // The record handlers (HandleEvent calls them with the read buffer).
    void handleOpenAddress(const snoop_event_t& event);
    void handleCleanupAddress(const snoop_event_t& event);

    // (1 TCP, 2 any other protocol) << 48 | (local port in network order)
    // << 32 | local address in host order.
    static uint64_t AddressKey(uint32_t localIp, uint16_t localPort, uint32_t protocol) {
        const uint64_t kind = protocol == SNOOP_PROTOCOL_TCP ? SNOOP_PROTOCOL_TCP : SNOOP_PROTOCOL_UDP;
        return kind << 48 | static_cast<uint64_t>(localPort) << 32 | localIp;
    }

    // CReportedConnections, for the listener thread.
    bool FillReported(uint32_t localIp, uint16_t localPort, uint8_t protocol, uint32_t sessionId,
                      send_data_t& record) const override;

    CConnectionCacheMgr& ConnectionManager() { return connMgr_; }
    CBufferPool& Pool() { return pool_; }
    SessionMap& Sessions() { return sessions_; }
    CSnoopDevice& Device() { return device_; }
    const AddressTable& Addresses() const { return addresses_; }
    // The address table handed from one snooper to the next, so that an
    // agent that renews its snooper (the Linux agent's reload of its
    // settings) still reports the closes of addresses opened before.
    AddressTable TakeAddresses() { return std::move(addresses_); }
    void AdoptAddresses(AddressTable addresses) { addresses_ = std::move(addresses); }
    // The buffer the driver fills (one snoop_event_t).
    uint8_t* EventBuffer() { return eventBuffer_; }

private:
    send_data_t* NewRecord();
    // The in-use entry a clean-up ends (null when none): the one opened with
    // the clean-up's file object (none when that one is ended already); when
    // no entry has that file object, the one of the clean-up's protocol, else
    // whichever protocol holds the address and port (TCP first).
    AddressEntry* CleanupTarget(const snoop_event_t& event);
    // The open's SID with its account looked up (throws SidException for
    // bytes that are not a SID). Users' opens come in runs, and a look-up for
    // each (on Windows a call to the local security authority) gave each
    // record an account object of its own: an account found for a SID is
    // shared by that SID's opens for kAccountReuseMs, for the last
    // kReusedAccounts SIDs looked up. A look-up that found no account is not
    // reused.
    CSid SidOf(const snoop_event_t& event);
    static constexpr uint32_t kAccountReuseMs = 1000;
    static constexpr size_t kReusedAccounts = 16;

    AddressTable addresses_;
    mutable std::mutex addressLock_;
    CHVNConfiguration config_;
    SessionMap sessions_;
    CBufferPool pool_;
    // After the session map and the pool, which it refers to: it is
    // destroyed before them, so that its threads and queues never outlive
    // what they return records to.
    CConnectionCacheMgr connMgr_;
    // The read's buffer before the device, so that it outlasts any request
    // the device still has to end when the snooper goes.
    alignas(8) uint8_t eventBuffer_[SNOOP_EVENT_SIZE];
    CSnoopDevice device_;
    bx::sync::Event* sendEvent_ = nullptr;
    bx::sync::Event* stopEvent_ = nullptr;
    CReadBackoff readBackoff_;
    // The service thread's: the SIDs whose accounts SidOf looked up last,
    // each with the time of its look-up; the next to replace.
    struct LookedUp {
        CSid sid;
        uint32_t tick = 0;
    };
    LookedUp lookedUp_[kReusedAccounts];
    size_t nextLookedUp_ = 0;
    // The service thread's: the run of reads done at once.
    CWakePacer readPacer_;
    uint64_t readRunStartUs_ = 0;
    uint32_t readsInRun_ = 0;
    bool socketsStarted_ = false;
    std::atomic<bool> refuseSessionChanges_{false};
};
