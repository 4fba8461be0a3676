/*
 * The record the kernel side of the Linux snoop device (snoop.bpf.c) puts
 * into its ring buffer for each address a process opens or cleans up, and
 * the state it keeps per socket. Shared by the eBPF program and the device
 * (snoop_device_linux.cpp), which turns each record into a snoop_event_t.
 */
#ifndef BX_SNOOP_RECORD_H
#define BX_SNOOP_RECORD_H

#ifndef __VMLINUX_H__
#include <linux/types.h>
#endif

#define BX_RECORD_OPEN 0u
#define BX_RECORD_CLEANUP 1u

struct bx_snoop_record {
    __u32 kind;        /* BX_RECORD_OPEN or BX_RECORD_CLEANUP */
    __u32 protocol;    /* 1 TCP, 2 UDP (snoop_event_t's numbers) */
    __u32 local_ip;    /* network byte order; 0 for any address */
    __u32 remote_ip;   /* network byte order; 0 for none */
    __u16 local_port;  /* host byte order */
    __u16 remote_port; /* host byte order; 0 for none */
    __u32 pid;         /* the process (thread group) that opened it */
    __u32 uid;         /* that process's real uid */
    __u32 session_id;  /* its audit session id; 4294967295 for none */
    __u32 login_uid;   /* the login uid of that session */
    __u32 reserved;
    __u64 cookie; /* the socket's cookie: the kernel's identity of it */
};

#endif /* BX_SNOOP_RECORD_H */
