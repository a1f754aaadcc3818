/* Shared by the kernel programs and the user-space loader: the layout of every map value. */
#pragma once

#ifdef __bpf__
#include <linux/types.h>
#else
#include <linux/types.h>
#endif

#define SENTORIX_MAX_RULES 64

enum sentorix_verdict {
    SENTORIX_UNDECIDED = 0, /* redirected until user space has identified the process */
    SENTORIX_DIRECT = 1,    /* its identifier is bypassed: never redirected */
    SENTORIX_PROXY = 2,     /* holds the local proxy's listening socket: never redirected */
};

struct sentorix_config {
    __u64 netns_cookie; /* the only namespace the programs act in */
    __u32 own_tgid;     /* the extension's own connections are never redirected */
    __u16 listener_port;
    __u16 proxy_port;
    __u32 proxy_addr[4]; /* the proxy's listening address, network order; IPv4 in proxy_addr[0] */
    __u8 proxy_family;   /* AF_INET or AF_INET6 */
    __u8 claiming;       /* 0 while the provider claims no flow: nothing is redirected */
    __u8 rule_count;
    __u8 listener_v6;    /* 1 when the listener has an IPv6 socket on ::1: IPv6 connections are redirected only then */
    __u8 pad[4];
};

/* The pid namespace the extension runs in, fixed before the programs load. */
struct sentorix_pid_view {
    __u64 dev;   /* of the namespace's file, as stat() gives it */
    __u64 ino;
    __u8 helper; /* 1 when the kernel answers bpf_get_ns_current_pid_tgid for socket programs */
    __u8 pad[7];
};

struct sentorix_rule {
    __u32 addr[4]; /* network order; IPv4 in addr[0] */
    __u16 port;    /* host order; 0 for any */
    __u8 family;   /* AF_INET or AF_INET6 */
    __u8 prefix;
    __u8 include;  /* 0: excluded, left alone; 1: redirected (TCP) or refused unless allowed (UDP) */
    __u8 protocol; /* IPPROTO_TCP or IPPROTO_UDP */
    __u8 pad[2];
};

struct sentorix_process {
    __u64 stamp; /* when the kernel first saw this process: with the pid, one process's life */
    __u8 verdict;
    __u8 pad[7];
};

struct sentorix_origin {
    __u32 addr[4]; /* the destination the application asked for, network order */
    __u64 stamp;
    __u64 cgroup;
    __u64 exe_inode; /* the process's executable file, 0 when unknown */
    __u32 exe_dev;
    __u32 pad2;
    __u32 tgid;
    __u16 port; /* host order */
    __u8 family;
    __u8 pad[1];
};

/* The application socket's own address: with the listener's, one live connection. */
struct sentorix_port_key {
    __u32 addr[4]; /* network order; IPv4 (also when reached through an IPv6 socket) in addr[0] */
    __u16 port;    /* host order */
    __u8 family;   /* of the address, not of the socket */
    __u8 pad;
};

/* What a process is, as far as its identifier goes: the identity rules read its cgroup and its
 * executable, so every process with the same three shares one identifier. */
struct sentorix_identity {
    __u64 cgroup;
    __u64 exe_inode;
    __u32 exe_dev;
    __u32 pad;
};

enum sentorix_identity_verdict {
    SENTORIX_IDENTITY_PENDING = 1, /* user space was told and has not answered yet */
    SENTORIX_IDENTITY_KNOWN = 2,   /* identified; its flows are the provider's to decide */
    SENTORIX_IDENTITY_DIRECT = 3,  /* its identifier is bypassed: never redirected, never refused */
};

enum sentorix_event_kind {
    SENTORIX_EVENT_PROCESS = 1,  /* a program started whose identity user space has not seen */
    SENTORIX_EVENT_UDP_FLOW = 2, /* a socket's first datagram to a destination was refused */
};

struct sentorix_event {
    __u32 kind;
    __u32 tgid;
    __u64 stamp;
    struct sentorix_identity identity;
    __u32 remote[4]; /* network order */
    __u32 local[4];
    __u16 remote_port; /* host order */
    __u16 local_port;
    __u8 family;
    __u8 pad[3];
};

/* The destination a UDP socket was last refused for: one event per flow, not per datagram. */
struct sentorix_udp_flow {
    __u32 addr[4];
    __u16 port;
    __u8 family;
    __u8 pad;
};
