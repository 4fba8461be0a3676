/*
 * The kernel side of the Linux snoop device: eBPF programs attached to one
 * cgroup (through BPF links the agent's process owns) that report every IPv4
 * transport address a process of that cgroup opens or cleans up, into the
 * ring buffer "events":
 *
 * - cgroup/post_bind4, cgroup/post_bind6: an explicit bind, once the local
 *   port is known (a bind that defers its port reports at its connect);
 * - sockops, TCP_CONNECT_CB: a TCP connect once its local port is chosen;
 *   TCP_LISTEN_CB: a listen of a socket not reported yet (bound implicitly);
 * - cgroup_skb/egress: the first datagram of a UDP socket not reported yet
 *   (connected or not, its local port is known by then);
 * - cgroup/sock_release: the clean-up of every address reported for the
 *   socket.
 *
 * IPv4-mapped IPv6 addresses count as IPv4; an IPv6 socket bound to "::"
 * accepts IPv4 too and counts as bound to 0.0.0.0; other IPv6 traffic is not
 * reported (the appliance's protocol carries IPv4 only). Who opened an
 * address is read from the current task: its process, real uid, audit
 * session and login uid. A record that finds the ring buffer full is counted
 * in "lost", never dropped silently. Every program allows what it sees.
 */
#include <vmlinux.h>

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "agent/snoop/ebpf/snoop_record.h"

char LICENSE[] SEC("license") = "Dual BSD/GPL";

#define AF_INET 2
#define AF_INET6 10
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17
#define TCP_ESTABLISHED 1

/* A context or socket field read once, where it is written: the verifier
 * refuses a load through a pointer the compiler computed from several
 * fields' offsets. */
#define READ_FIELD(x) (*(volatile typeof(x)*)&(x))

/* Per socket: what was reported for it, so that each address is reported
 * once and cleaned up at its release. */
struct bx_sock_state {
    __u32 bound_ip;
    __u16 bound_port;
    __u16 bound_reported;
    __u32 conn_ip;
    __u16 conn_port;
    __u16 conn_reported;
    __u32 protocol;
};

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 1 << 20); /* set by the agent before loading */
} events SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u64);
} lost SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct bx_sock_state);
} sockets SEC(".maps");

static __always_inline void count_lost(void) {
    __u32 zero = 0;
    __u64* count = bpf_map_lookup_elem(&lost, &zero);
    if (count) __sync_fetch_and_add(count, 1);
}

static __always_inline void emit(__u32 kind, __u32 protocol, __u32 local_ip, __u16 local_port, __u32 remote_ip,
                                 __u16 remote_port, __u64 cookie) {
    struct bx_snoop_record* record = bpf_ringbuf_reserve(&events, sizeof(*record), 0);
    if (!record) {
        count_lost();
        return;
    }
    struct task_struct* task = (struct task_struct*)bpf_get_current_task();
    record->kind = kind;
    record->protocol = protocol;
    record->local_ip = local_ip;
    record->remote_ip = remote_ip;
    record->local_port = local_port;
    record->remote_port = remote_port;
    record->pid = BPF_CORE_READ(task, tgid);
    record->uid = BPF_CORE_READ(task, real_cred, uid.val);
    record->session_id = BPF_CORE_READ(task, sessionid);
    record->login_uid = BPF_CORE_READ(task, loginuid.val);
    record->reserved = 0;
    record->cookie = cookie;
    bpf_ringbuf_submit(record, 0);
}

static __always_inline __u32 protocol_of(__u32 ip_protocol) {
    return ip_protocol == IPPROTO_TCP ? 1 : ip_protocol == IPPROTO_UDP ? 2 : 0;
}

/* An IPv6 address as IPv4: the mapped address, or 0 for "::" when
 * `any_is_ipv4` (a wildcard bind accepts IPv4). False for other addresses. */
static __always_inline bool ipv4_of(const __u32* ip6, bool any_is_ipv4, __u32* ip4) {
    if (ip6[0] != 0 || ip6[1] != 0) return false;
    if (ip6[2] == bpf_htonl(0xFFFF)) {
        *ip4 = ip6[3];
        return true;
    }
    if (any_is_ipv4 && ip6[2] == 0 && ip6[3] == 0) {
        *ip4 = 0;
        return true;
    }
    return false;
}

static __always_inline void report_bind(struct bpf_sock* sk, __u32 ip) {
    __u32 protocol = protocol_of(READ_FIELD(sk->protocol));
    __u16 port = (__u16)READ_FIELD(sk->src_port);
    if (!protocol || port == 0) return; /* the port comes with the connect */
    struct bx_sock_state* state = bpf_sk_storage_get(&sockets, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (!state) return;
    state->protocol = protocol;
    state->bound_ip = ip;
    state->bound_port = port;
    state->bound_reported = 1;
    emit(BX_RECORD_OPEN, protocol, ip, port, 0, 0, bpf_get_socket_cookie(sk));
}

SEC("cgroup/post_bind4")
int bx_post_bind4(struct bpf_sock* sk) {
    report_bind(sk, READ_FIELD(sk->src_ip4));
    return 1;
}

SEC("cgroup/post_bind6")
int bx_post_bind6(struct bpf_sock* sk) {
    const __u32 ip6[4] = {READ_FIELD(sk->src_ip6[0]), READ_FIELD(sk->src_ip6[1]), READ_FIELD(sk->src_ip6[2]),
                          READ_FIELD(sk->src_ip6[3])};
    __u32 ip = 0;
    if (ipv4_of(ip6, true, &ip)) report_bind(sk, ip);
    return 1;
}

SEC("sockops")
int bx_sockops(struct bpf_sock_ops* ops) {
    const __u32 op = READ_FIELD(ops->op);
    if (op != BPF_SOCK_OPS_TCP_CONNECT_CB && op != BPF_SOCK_OPS_TCP_LISTEN_CB) return 1;
    struct bpf_sock* sk = ops->sk;
    if (!sk) return 1;
    const __u32 family = READ_FIELD(ops->family);
    const __u32 local4 = READ_FIELD(ops->local_ip4), remote4 = READ_FIELD(ops->remote_ip4);
    const __u32 local6[4] = {READ_FIELD(ops->local_ip6[0]), READ_FIELD(ops->local_ip6[1]),
                             READ_FIELD(ops->local_ip6[2]), READ_FIELD(ops->local_ip6[3])};
    const __u32 remote6[4] = {READ_FIELD(ops->remote_ip6[0]), READ_FIELD(ops->remote_ip6[1]),
                              READ_FIELD(ops->remote_ip6[2]), READ_FIELD(ops->remote_ip6[3])};
    const __u16 local_port = (__u16)READ_FIELD(ops->local_port);
    const __u16 remote_port = (__u16)bpf_ntohl(READ_FIELD(ops->remote_port));
    const bool listening = op == BPF_SOCK_OPS_TCP_LISTEN_CB;
    __u32 local_ip = 0, remote_ip = 0;
    if (family == AF_INET) {
        local_ip = local4;
        remote_ip = remote4;
    } else if (family == AF_INET6) {
        if (!ipv4_of(local6, listening, &local_ip)) return 1;
        if (!listening && !ipv4_of(remote6, false, &remote_ip)) return 1;
    } else {
        return 1;
    }
    struct bx_sock_state* state = bpf_sk_storage_get(&sockets, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (!state) return 1;
    __u64 cookie = bpf_get_socket_cookie(ops);
    state->protocol = 1;
    if (listening) {
        if (state->bound_reported || state->conn_reported) return 1;
        state->bound_ip = local_ip;
        state->bound_port = local_port;
        state->bound_reported = 1;
        emit(BX_RECORD_OPEN, 1, local_ip, local_port, 0, 0, cookie);
        return 1;
    }
    /* A socket that connects again (after a failed connect) on another
     * address cleans the first one up. */
    if (state->conn_reported && (state->conn_ip != local_ip || state->conn_port != local_port))
        emit(BX_RECORD_CLEANUP, 1, state->conn_ip, state->conn_port, 0, 0, cookie);
    state->conn_ip = local_ip;
    state->conn_port = local_port;
    state->conn_reported = 1;
    emit(BX_RECORD_OPEN, 1, local_ip, local_port, remote_ip, remote_port, cookie);
    return 1;
}

SEC("cgroup_skb/egress")
int bx_egress(struct __sk_buff* skb) {
    struct bpf_sock* sk = skb->sk;
    if (!sk) return 1;
    sk = bpf_sk_fullsock(sk);
    if (!sk || READ_FIELD(sk->protocol) != IPPROTO_UDP) return 1;
    struct bx_sock_state* state = bpf_sk_storage_get(&sockets, sk, 0, 0);
    if (state && (state->bound_reported || state->conn_reported)) return 1;
    const __u32 family = READ_FIELD(sk->family);
    const bool connected = READ_FIELD(sk->state) == TCP_ESTABLISHED;
    const __u32 src4 = READ_FIELD(sk->src_ip4), dst4 = READ_FIELD(sk->dst_ip4);
    const __u32 src6[4] = {READ_FIELD(sk->src_ip6[0]), READ_FIELD(sk->src_ip6[1]), READ_FIELD(sk->src_ip6[2]),
                           READ_FIELD(sk->src_ip6[3])};
    const __u32 dst6[4] = {READ_FIELD(sk->dst_ip6[0]), READ_FIELD(sk->dst_ip6[1]), READ_FIELD(sk->dst_ip6[2]),
                           READ_FIELD(sk->dst_ip6[3])};
    const __u16 local_port = (__u16)READ_FIELD(sk->src_port);
    const __u16 dst_port = bpf_ntohs(READ_FIELD(sk->dst_port));
    __u32 local_ip = 0, remote_ip = 0;
    __u16 remote_port = 0;
    if (family == AF_INET) {
        local_ip = src4;
        if (connected) remote_ip = dst4;
    } else if (family == AF_INET6) {
        if (!ipv4_of(src6, true, &local_ip)) return 1;
        if (connected && !ipv4_of(dst6, false, &remote_ip)) return 1;
    } else {
        return 1;
    }
    if (connected) remote_port = dst_port;
    if (local_port == 0) return 1;
    state = bpf_sk_storage_get(&sockets, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (!state) return 1;
    state->protocol = 2;
    state->conn_ip = local_ip;
    state->conn_port = local_port;
    state->conn_reported = 1;
    emit(BX_RECORD_OPEN, 2, local_ip, local_port, remote_ip, remote_port, bpf_get_socket_cookie(skb));
    return 1;
}

SEC("cgroup/sock_release")
int bx_sock_release(struct bpf_sock* sk) {
    struct bx_sock_state* state = bpf_sk_storage_get(&sockets, sk, 0, 0);
    if (!state) return 1;
    __u64 cookie = bpf_get_socket_cookie(sk);
    if (state->bound_reported)
        emit(BX_RECORD_CLEANUP, state->protocol, state->bound_ip, state->bound_port, 0, 0, cookie);
    if (state->conn_reported &&
        (!state->bound_reported || state->conn_ip != state->bound_ip || state->conn_port != state->bound_port))
        emit(BX_RECORD_CLEANUP, state->protocol, state->conn_ip, state->conn_port, 0, 0, cookie);
    /* The storage goes with the socket. */
    return 1;
}
