/*
 * The snoop driver's event record and the control codes of its device.
 *
 * One record fills the 256-byte output buffer of a ReadSnoopEvents request:
 * an address that a process opened (event_type 0) or cleaned up (1).
 * Little-endian; IPv4 addresses in host byte order (127.0.0.1 reads
 * 0x7F000001), ports in network byte order, as the driver reports them.
 *
 * Plain C with fixed-width types so that the kernel driver (C, DDK headers),
 * sim/snoopctl and the agent's Snooper (C++) share one definition. No
 * <windows.h> here: the portable core includes this header too.
 */
#ifndef BX_SNOOP_EVENT_H
#define BX_SNOOP_EVENT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define SNOOP_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define SNOOP_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define SNOOP_EVENT_SIZE 256u /* bytes of one record and of the read buffer */
#define SNOOP_SID_MAX 68u     /* the largest SID: 8 bytes of header, 15 sub-authorities */

/* protocol: the low byte goes to the appliance unchanged. */
#define SNOOP_PROTOCOL_TCP 1u
#define SNOOP_PROTOCOL_UDP 2u

/* event_type: any other value is ignored by the reader. */
#define SNOOP_EVENT_OPEN 0u
#define SNOOP_EVENT_CLEANUP 1u

typedef struct snoop_event_t {
    uint32_t protocol;          /*   0: 1 = TCP, 2 = UDP */
    uint32_t event_type;        /*   4: 0 = address opened, 1 = address cleaned up */
    uint32_t local_ip;          /*   8: host byte order */
    uint16_t local_port;        /*  12: network byte order */
    uint16_t reserved1;         /*  14 */
    uint32_t remote_ip;         /*  16: host byte order; 0 = none */
    uint16_t remote_port;       /*  20: network byte order */
    uint16_t reserved2;         /*  22 */
    uint64_t process_id;        /*  24: the opening process */
    uint32_t session_id;        /*  32: Windows session of that process */
    uint32_t pending;           /*  36: the driver's count of pending events (logged only) */
    uint64_t file_object;       /*  40: the driver's identity of the address object */
    uint8_t reserved3[24];      /*  48 */
    uint8_t sid[SNOOP_SID_MAX]; /* 72: the process user's SID, a SID structure */
    uint8_t reserved4[SNOOP_EVENT_SIZE - 72u - SNOOP_SID_MAX]; /* 140 */
} snoop_event_t;

SNOOP_STATIC_ASSERT(sizeof(snoop_event_t) == SNOOP_EVENT_SIZE, "snoop_event_t is 256 bytes");
SNOOP_STATIC_ASSERT(offsetof(snoop_event_t, protocol) == 0, "protocol at 0");
SNOOP_STATIC_ASSERT(offsetof(snoop_event_t, event_type) == 4, "event_type at 4");
SNOOP_STATIC_ASSERT(offsetof(snoop_event_t, local_ip) == 8, "local_ip at 8");
SNOOP_STATIC_ASSERT(offsetof(snoop_event_t, local_port) == 12, "local_port at 12");
SNOOP_STATIC_ASSERT(offsetof(snoop_event_t, remote_ip) == 16, "remote_ip at 16");
SNOOP_STATIC_ASSERT(offsetof(snoop_event_t, remote_port) == 20, "remote_port at 20");
SNOOP_STATIC_ASSERT(offsetof(snoop_event_t, process_id) == 24, "process_id at 24");
SNOOP_STATIC_ASSERT(offsetof(snoop_event_t, session_id) == 32, "session_id at 32");
SNOOP_STATIC_ASSERT(offsetof(snoop_event_t, pending) == 36, "pending at 36");
SNOOP_STATIC_ASSERT(offsetof(snoop_event_t, file_object) == 40, "file_object at 40");
SNOOP_STATIC_ASSERT(offsetof(snoop_event_t, sid) == 72, "sid at 72");

/*
 * Control codes of the device, laid out as CTL_CODE(DeviceType, Function,
 * Method, Access) = DeviceType << 16 | Access << 14 | Function << 2 | Method.
 */
#define SNOOP_CTL_CODE(device, function, method, access) \
    (((uint32_t)(device) << 16) | ((uint32_t)(access) << 14) | ((uint32_t)(function) << 2) | (uint32_t)(method))

#define SNOOP_DEVICE_TYPE 0x22u    /* FILE_DEVICE_UNKNOWN */
#define SNOOP_METHOD_BUFFERED 0u   /* METHOD_BUFFERED */
#define SNOOP_METHOD_OUT_DIRECT 2u /* METHOD_OUT_DIRECT */
#define SNOOP_ANY_ACCESS 0u        /* FILE_ANY_ACCESS */

/* ReadSnoopEvents: no input, a 256-byte output buffer that receives one
 * record. The driver keeps the request pending until a record is there. */
#define SNOOP_IOCTL_READ_EVENTS 0x222006u

/* The driver stand-in's injection code (sim/driver): input one 256-byte
 * record, no output; it completes a pending read with the record or queues
 * it. The code is 0x22200A: function 0x802, and its method bits (2) are those
 * of METHOD_OUT_DIRECT. With no output buffer that method passes the input
 * exactly as METHOD_BUFFERED does (copied into the system buffer), so a
 * client that composes the code as CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802,
 * METHOD_BUFFERED, FILE_ANY_ACCESS) gets 0x222008; the stand-in accepts
 * that value too, with the same meaning. */
#define SNOOP_IOCTL_INJECT_EVENT 0x22200Au
#define SNOOP_IOCTL_INJECT_EVENT_BUFFERED 0x222008u

SNOOP_STATIC_ASSERT(SNOOP_IOCTL_READ_EVENTS ==
                        SNOOP_CTL_CODE(SNOOP_DEVICE_TYPE, 0x801, SNOOP_METHOD_OUT_DIRECT, SNOOP_ANY_ACCESS),
                    "ReadSnoopEvents is CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)");
SNOOP_STATIC_ASSERT(SNOOP_IOCTL_INJECT_EVENT ==
                        SNOOP_CTL_CODE(SNOOP_DEVICE_TYPE, 0x802, SNOOP_METHOD_OUT_DIRECT, SNOOP_ANY_ACCESS),
                    "0x22200A is CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)");
SNOOP_STATIC_ASSERT(SNOOP_IOCTL_INJECT_EVENT_BUFFERED ==
                        SNOOP_CTL_CODE(SNOOP_DEVICE_TYPE, 0x802, SNOOP_METHOD_BUFFERED, SNOOP_ANY_ACCESS),
                    "0x222008 is CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)");

/* Where Windows' own CTL_CODE is at hand, the codes must agree with it. */
#if defined(CTL_CODE) && defined(FILE_DEVICE_UNKNOWN) && defined(METHOD_OUT_DIRECT)
SNOOP_STATIC_ASSERT(SNOOP_IOCTL_READ_EVENTS == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS),
                    "ReadSnoopEvents agrees with CTL_CODE");
SNOOP_STATIC_ASSERT(SNOOP_IOCTL_INJECT_EVENT_BUFFERED ==
                        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS),
                    "inject code agrees with CTL_CODE");
#endif

/* The device as user programs open it, and the driver's service name. */
#define SNOOP_DEVICE_PATH L"\\\\.\\bxhvnd"
#define SNOOP_SERVICE_NAME L"bxhvnd"
#define SNOOP_DRIVER_FILE L"bxhvnd.sys"

#endif /* BX_SNOOP_EVENT_H */
