/* Decides at connect() which TCP connections go to the interception listener, remembers where each
 * was going and who made it, and shows the application its original peer; refuses the UDP flows the
 * provider would refuse, telling user space once per flow. Acts only in the namespace the extension
 * runs in. */
#include <linux/bpf.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_tracing.h>

#include "InterceptionMaps.h"

#define AF_INET 2
#define AF_INET6 10
#define SOCK_STREAM 1
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17

char LICENSE[] SEC("license") = "GPL";

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct sentorix_config);
} config SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, SENTORIX_MAX_RULES);
    __type(key, __u32);
    __type(value, struct sentorix_rule);
} rules SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 65536);
    __type(key, __u32);
    __type(value, struct sentorix_process);
} processes SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct sentorix_origin);
} origins SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 65536);
    __type(key, struct sentorix_port_key);
    __type(value, struct sentorix_origin);
} by_port SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 16384);
    __type(key, struct sentorix_identity);
    __type(value, __u8);
} identities SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 256 * 1024);
} events SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct sentorix_udp_flow);
} udp_flows SEC(".maps");

/* Only what the programs read from the kernel's structures; offsets come from its type information. */
struct super_block {
    __u32 s_dev;
} __attribute__((preserve_access_index));
struct inode {
    unsigned long i_ino;
    struct super_block *i_sb;
} __attribute__((preserve_access_index));
struct file {
    struct inode *f_inode;
} __attribute__((preserve_access_index));
struct mm_struct {
    struct file *exe_file;
} __attribute__((preserve_access_index));
struct net {
    __u64 net_cookie;
} __attribute__((preserve_access_index));
struct nsproxy {
    struct net *net_ns;
} __attribute__((preserve_access_index));
struct ns_common {
    unsigned int inum;
} __attribute__((preserve_access_index));
struct pid_namespace {
    struct ns_common ns;
} __attribute__((preserve_access_index));
struct upid {
    int nr;
    struct pid_namespace *ns;
};
struct pid {
    unsigned int level;
    struct upid numbers[1];
} __attribute__((preserve_access_index));
struct task_struct {
    int pid;
    int tgid;
    struct mm_struct *mm;
    struct nsproxy *nsproxy;
    struct pid *thread_pid;
    struct task_struct *group_leader;
} __attribute__((preserve_access_index));

/* The extension's pid namespace, set before loading: every pid the programs keep or report is the one
 * the extension sees there, so its /proc, its own pid and the proxy's agree with them in a container. */
#define SENTORIX_NESTED_PID_NAMESPACES 8

const volatile struct sentorix_pid_view pid_view SEC(".rodata.pid_view") = {};

/* The process's id in the extension's pid namespace, read from its struct pid: from its own namespace
 * up through a few nested ones (sandboxes) to the extension's. 0 when it lives outside that namespace,
 * in an ancestor's, where the extension cannot name it. */
static __always_inline __u32 tgid_in_view(struct task_struct *task) {
    struct pid *pid = BPF_CORE_READ(task, group_leader, thread_pid);
    if (!pid) {
        return 0;
    }
    const unsigned int level = BPF_CORE_READ(pid, level);
    const char *numbers = (const char *)pid + bpf_core_field_offset(struct pid, numbers);
    for (unsigned int up = 0; up < SENTORIX_NESTED_PID_NAMESPACES; up++) {
        if (up > level) {
            break;
        }
        struct upid number = {};
        if (bpf_probe_read_kernel(&number, sizeof(number), numbers + (level - up) * sizeof(struct upid)) != 0) {
            return 0;
        }
        if (BPF_CORE_READ(number.ns, ns.inum) == pid_view.ino) {
            return (__u32)number.nr;
        }
    }
    return 0;
}

static __always_inline __u32 current_tgid(void) {
    if (pid_view.helper) {
        /* The kernel's own answer where it gives one for these programs; a process in a namespace
         * nested below the extension's is not answered, and is read from its struct pid instead. */
        struct bpf_pidns_info info = {};
        if (bpf_get_ns_current_pid_tgid(pid_view.dev, pid_view.ino, &info, sizeof(info)) == 0) {
            return info.tgid;
        }
    }
    return tgid_in_view((struct task_struct *)bpf_get_current_task());
}

static __always_inline struct sentorix_config *active_config(void *ctx) {
    __u32 zero = 0;
    struct sentorix_config *cfg = bpf_map_lookup_elem(&config, &zero);
    if (!cfg || bpf_get_netns_cookie(ctx) != cfg->netns_cookie) {
        return 0;
    }
    return cfg;
}

static __always_inline int prefix_matches(const __u32 *rule, const __u32 *addr, __u32 prefix, int words) {
    for (int i = 0; i < 4; i++) {
        if (i >= words) {
            break;
        }
        __u32 bits = prefix > 32 * i ? prefix - 32 * i : 0;
        if (bits == 0) {
            break;
        }
        __u32 mask = bits >= 32 ? 0xffffffffu : bpf_htonl(~((1u << (32 - bits)) - 1));
        if ((rule[i] & mask) != (addr[i] & mask)) {
            return 0;
        }
    }
    return 1;
}

/* 1 when the first matching rule includes the destination; 0 when it is excluded or unmatched. */
static __always_inline int included(struct sentorix_config *cfg, __u8 protocol, __u8 family, const __u32 *addr,
                                    __u16 port) {
    for (__u32 i = 0; i < SENTORIX_MAX_RULES; i++) {
        if (i >= cfg->rule_count) {
            break;
        }
        __u32 index = i;
        struct sentorix_rule *rule = bpf_map_lookup_elem(&rules, &index);
        if (!rule || rule->protocol != protocol || rule->family != family || (rule->port != 0 && rule->port != port)) {
            continue;
        }
        if (prefix_matches(rule->addr, addr, rule->prefix, family == AF_INET ? 1 : 4)) {
            return rule->include;
        }
    }
    return 0;
}

static __always_inline void current_identity(struct sentorix_identity *identity) {
    struct task_struct *task = (struct task_struct *)bpf_get_current_task();
    identity->cgroup = bpf_get_current_cgroup_id();
    identity->exe_inode = BPF_CORE_READ(task, mm, exe_file, f_inode, i_ino);
    identity->exe_dev = BPF_CORE_READ(task, mm, exe_file, f_inode, i_sb, s_dev);
    identity->pad = 0;
}

static __always_inline int identity_is_direct(const struct sentorix_identity *identity) {
    __u8 *verdict = bpf_map_lookup_elem(&identities, identity);
    return verdict && *verdict == SENTORIX_IDENTITY_DIRECT;
}

/* The process's entry, made when it is first seen: its stamp tells one life of a pid from the next. */
static __always_inline struct sentorix_process *process_entry(__u32 tgid) {
    if (tgid == 0) {
        return 0;  /* a process the extension cannot name shares no entry with others */
    }
    struct sentorix_process *process = bpf_map_lookup_elem(&processes, &tgid);
    if (!process) {
        struct sentorix_process fresh = {.stamp = bpf_ktime_get_ns(), .verdict = SENTORIX_UNDECIDED};
        bpf_map_update_elem(&processes, &tgid, &fresh, BPF_NOEXIST);
        process = bpf_map_lookup_elem(&processes, &tgid);
    }
    return process;
}

/* The configuration when this connect or send is the provider's to decide: the provider claims flows,
 * the caller is neither the extension nor an already decided process, a rule of `protocol` includes
 * the destination, and the caller's identity is not bypassed (then in `identity`); else null. */
static __always_inline struct sentorix_config *undecided(struct bpf_sock_addr *ctx, __u8 protocol, __u8 family,
                                                        const __u32 *addr, __u32 tgid,
                                                        struct sentorix_identity *identity) {
    struct sentorix_config *cfg = active_config(ctx);
    if (!cfg || !cfg->claiming || tgid == cfg->own_tgid) {
        return 0;
    }
    /* Bound to a device (a per-interface check, a split tunnel): it must leave by that device, so it is
     * left alone, never rewritten to loopback where it could not go. */
    if (ctx->sk && ctx->sk->bound_dev_if) {
        return 0;
    }
    struct sentorix_process *process = bpf_map_lookup_elem(&processes, &tgid);
    if (process && process->verdict != SENTORIX_UNDECIDED) {
        return 0;
    }
    if (!included(cfg, protocol, family, addr, bpf_ntohs(ctx->user_port))) {
        return 0;
    }
    current_identity(identity);
    return identity_is_direct(identity) ? 0 : cfg;
}

/* Records the connection and returns the configuration when it is to be redirected, else null. */
static __always_inline struct sentorix_config *claim(struct bpf_sock_addr *ctx, __u8 family, const __u32 *addr) {
    if (ctx->type != SOCK_STREAM || ctx->protocol != IPPROTO_TCP) {
        return 0;
    }
    __u32 tgid = current_tgid();
    struct sentorix_identity identity;
    struct sentorix_config *cfg = undecided(ctx, IPPROTO_TCP, family, addr, tgid, &identity);
    if (!cfg || (family == AF_INET6 && !cfg->listener_v6)) {
        return 0;  /* nothing would take it on ::1: it goes where it asked */
    }
    __u16 port = bpf_ntohs(ctx->user_port);
    struct sentorix_process *process = process_entry(tgid);
    if (!ctx->sk) {
        return 0;
    }
    struct sentorix_origin *origin = bpf_sk_storage_get(&origins, ctx->sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (!origin) {
        return 0;  /* no memory: the connection goes where it asked */
    }
    origin->family = family;
    origin->port = port;
    origin->addr[0] = addr[0];
    origin->addr[1] = family == AF_INET6 ? addr[1] : 0;
    origin->addr[2] = family == AF_INET6 ? addr[2] : 0;
    origin->addr[3] = family == AF_INET6 ? addr[3] : 0;
    origin->tgid = tgid;
    origin->stamp = process ? process->stamp : 0;
    /* The executable file itself, so that user space reads a program's path once, not once per process. */
    origin->cgroup = identity.cgroup;
    origin->exe_inode = identity.exe_inode;
    origin->exe_dev = identity.exe_dev;
    return cfg;
}

/* 1 to let a UDP connect() or send through, 0 to refuse it (the application sees EPERM at once).
 * Refused: what the included UDP rules select, while the provider claims flows, unless the process's
 * identifier is bypassed. The provider hears of each refused flow once and may still let it through. */
static __always_inline int udp_allowed(struct bpf_sock_addr *ctx, __u8 family, const __u32 *addr) {
    if (ctx->protocol != IPPROTO_UDP) {
        return 1;
    }
    __u32 tgid = current_tgid();
    struct sentorix_identity identity;
    if (!undecided(ctx, IPPROTO_UDP, family, addr, tgid, &identity)) {
        return 1;
    }
    __u16 port = bpf_ntohs(ctx->user_port);
    struct bpf_sock *sk = ctx->sk;
    if (!sk) {
        return 0;
    }
    struct sentorix_udp_flow *last = bpf_sk_storage_get(&udp_flows, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (!last) {
        return 0;
    }
    __u32 a1 = family == AF_INET6 ? addr[1] : 0, a2 = family == AF_INET6 ? addr[2] : 0,
          a3 = family == AF_INET6 ? addr[3] : 0;
    if (last->family == family && last->port == port && last->addr[0] == addr[0] && last->addr[1] == a1 &&
        last->addr[2] == a2 && last->addr[3] == a3) {
        return 0;  /* the same flow again: the provider has heard of it */
    }
    struct sentorix_event *event = bpf_ringbuf_reserve(&events, sizeof(*event), 0);
    if (!event) {
        return 0;  /* the ring is full: not heard yet, so the next try reports it */
    }
    last->family = family;
    last->port = port;
    last->addr[0] = addr[0];
    last->addr[1] = a1;
    last->addr[2] = a2;
    last->addr[3] = a3;
    struct sentorix_process *process = process_entry(tgid);
    event->kind = SENTORIX_EVENT_UDP_FLOW;
    event->tgid = tgid;
    event->stamp = process ? process->stamp : 0;
    event->identity = identity;
    event->remote[0] = addr[0];
    event->remote[1] = a1;
    event->remote[2] = a2;
    event->remote[3] = a3;
    event->remote_port = port;
    event->family = family;
    if (family == AF_INET) {
        event->local[0] = sk->src_ip4;
        event->local[1] = 0;
        event->local[2] = 0;
        event->local[3] = 0;
    } else {
        event->local[0] = sk->src_ip6[0];
        event->local[1] = sk->src_ip6[1];
        event->local[2] = sk->src_ip6[2];
        event->local[3] = sk->src_ip6[3];
    }
    event->local_port = (__u16)sk->src_port;
    event->pad[0] = event->pad[1] = event->pad[2] = 0;
    bpf_ringbuf_submit(event, 0);
    return 0;
}

SEC("cgroup/connect4")
int sentorix_connect4(struct bpf_sock_addr *ctx) {
    __u32 addr[4] = {ctx->user_ip4, 0, 0, 0};
    if (ctx->type != SOCK_STREAM) {
        return udp_allowed(ctx, AF_INET, addr);
    }
    struct sentorix_config *cfg = claim(ctx, AF_INET, addr);
    if (cfg) {
        ctx->user_ip4 = bpf_htonl(0x7f000001);
        ctx->user_port = bpf_htons(cfg->listener_port);
    }
    return 1;
}

SEC("cgroup/connect6")
int sentorix_connect6(struct bpf_sock_addr *ctx) {
    __u32 addr[4] = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]};
    if (ctx->type != SOCK_STREAM) {
        return udp_allowed(ctx, AF_INET6, addr);
    }
    struct sentorix_config *cfg = claim(ctx, AF_INET6, addr);
    if (cfg) {
        ctx->user_ip6[0] = 0;
        ctx->user_ip6[1] = 0;
        ctx->user_ip6[2] = 0;
        ctx->user_ip6[3] = bpf_htonl(1);
        ctx->user_port = bpf_htons(cfg->listener_port);
    }
    return 1;
}

/* Datagrams sent without connect(), each naming its destination. */
SEC("cgroup/sendmsg4")
int sentorix_sendmsg4(struct bpf_sock_addr *ctx) {
    __u32 addr[4] = {ctx->user_ip4, 0, 0, 0};
    return udp_allowed(ctx, AF_INET, addr);
}

SEC("cgroup/sendmsg6")
int sentorix_sendmsg6(struct bpf_sock_addr *ctx) {
    __u32 addr[4] = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]};
    return udp_allowed(ctx, AF_INET6, addr);
}

/* The application keeps seeing the peer it asked for. */
SEC("cgroup/getpeername4")
int sentorix_getpeername4(struct bpf_sock_addr *ctx) {
    if (!ctx->sk) {
        return 1;
    }
    struct sentorix_origin *origin = bpf_sk_storage_get(&origins, ctx->sk, 0, 0);
    if (origin && origin->family == AF_INET) {
        ctx->user_ip4 = origin->addr[0];
        ctx->user_port = bpf_htons(origin->port);
    }
    return 1;
}

SEC("cgroup/getpeername6")
int sentorix_getpeername6(struct bpf_sock_addr *ctx) {
    if (!ctx->sk) {
        return 1;
    }
    struct sentorix_origin *origin = bpf_sk_storage_get(&origins, ctx->sk, 0, 0);
    if (origin && origin->family == AF_INET6) {
        ctx->user_ip6[0] = origin->addr[0];
        ctx->user_ip6[1] = origin->addr[1];
        ctx->user_ip6[2] = origin->addr[2];
        ctx->user_ip6[3] = origin->addr[3];
        ctx->user_port = bpf_htons(origin->port);
    }
    return 1;
}

/* Once the local port is known, the listener can find the record by the peer of what it accepts. A
 * connection made straight to the listener from the same address and port clears whatever record an
 * earlier, never accepted, connection left there, so it cannot pass for that one. */
SEC("sockops")
int sentorix_sockops(struct bpf_sock_ops *skops) {
    if (skops->op != BPF_SOCK_OPS_TCP_CONNECT_CB) {
        return 1;
    }
    struct bpf_sock *sk = skops->sk;
    if (!sk) {
        return 1;
    }
    struct sentorix_port_key key = {.port = (__u16)skops->local_port};
    if (skops->family == AF_INET) {
        key.family = AF_INET;
        key.addr[0] = skops->local_ip4;
    } else if (skops->local_ip6[0] == 0 && skops->local_ip6[1] == 0 && skops->local_ip6[2] == bpf_htonl(0xffff)) {
        key.family = AF_INET;
        key.addr[0] = skops->local_ip6[3];
    } else {
        key.family = AF_INET6;
        key.addr[0] = skops->local_ip6[0];
        key.addr[1] = skops->local_ip6[1];
        key.addr[2] = skops->local_ip6[2];
        key.addr[3] = skops->local_ip6[3];
    }
    struct sentorix_origin *origin = bpf_sk_storage_get(&origins, sk, 0, 0);
    if (origin) {
        bpf_map_update_elem(&by_port, &key, origin, BPF_ANY);
        return 1;
    }
    struct sentorix_config *cfg = active_config(skops);
    if (cfg && bpf_ntohl(skops->remote_port) == cfg->listener_port) {
        bpf_map_delete_elem(&by_port, &key);
    }
    return 1;
}

/* A process that binds exactly the local proxy's address and port holds its listener: its connections
 * stay its own. Binding the port on another address (::1, a wildcard beside the proxy) proves nothing. */
static __always_inline void note_proxy_bind(struct bpf_sock *sk, __u8 family, const __u32 *addr) {
    if (sk->protocol != IPPROTO_TCP) {
        return;
    }
    struct sentorix_config *cfg = active_config(sk);
    if (!cfg || sk->src_port != cfg->proxy_port || cfg->proxy_family != family) {
        return;
    }
    int words = family == AF_INET ? 1 : 4;
    for (int i = 0; i < 4; i++) {
        if (i < words && addr[i] != cfg->proxy_addr[i]) {
            return;
        }
    }
    __u32 tgid = current_tgid();
    if (tgid == 0) {
        return;
    }
    struct sentorix_process proxy = {.stamp = bpf_ktime_get_ns(), .verdict = SENTORIX_PROXY};
    bpf_map_update_elem(&processes, &tgid, &proxy, BPF_ANY);
}

SEC("cgroup/post_bind4")
int sentorix_post_bind4(struct bpf_sock *sk) {
    __u32 addr[4] = {sk->src_ip4, 0, 0, 0};
    note_proxy_bind(sk, AF_INET, addr);
    return 1;
}

SEC("cgroup/post_bind6")
int sentorix_post_bind6(struct bpf_sock *sk) {
    __u32 addr[4] = {sk->src_ip6[0], sk->src_ip6[1], sk->src_ip6[2], sk->src_ip6[3]};
    if (addr[0] == 0 && addr[1] == 0 && addr[2] == bpf_htonl(0xffff)) {
        __u32 mapped[4] = {addr[3], 0, 0, 0}; /* an IPv4 address through an IPv6 socket */
        note_proxy_bind(sk, AF_INET, mapped);
    } else {
        note_proxy_bind(sk, AF_INET6, addr);
    }
    return 1;
}

/* A forked child has its parent's program, cgroup and descriptors: it inherits the verdict. */
SEC("tp_btf/sched_process_fork")
int BPF_PROG(sentorix_fork, struct task_struct *parent, struct task_struct *child) {
    if (child->tgid != child->pid) {
        return 0;  /* a thread shares its process's entry */
    }
    __u32 parent_tgid = tgid_in_view(parent);
    __u32 child_pid = tgid_in_view(child);
    if (parent_tgid == 0 || child_pid == 0) {
        return 0;
    }
    struct sentorix_process *known = bpf_map_lookup_elem(&processes, &parent_tgid);
    if (known && known->verdict != SENTORIX_UNDECIDED) {
        struct sentorix_process copy = {.stamp = bpf_ktime_get_ns(), .verdict = known->verdict};
        bpf_map_update_elem(&processes, &child_pid, &copy, BPF_ANY);
    }
    return 0;
}

/* A new program is a new identity, and whatever the old one was decided to be goes with it: the proxy's
 * mark too, or a shell exec'd after one bind would take every program it starts past interception. An
 * identity user space has not seen is sent to it now, so that it is decided before its first flow. */
SEC("tp_btf/sched_process_exec")
int BPF_PROG(sentorix_exec, struct task_struct *task) {
    __u32 tgid = tgid_in_view(task);
    bpf_map_delete_elem(&processes, &tgid);
    __u32 zero = 0;
    struct sentorix_config *cfg = bpf_map_lookup_elem(&config, &zero);
    if (!cfg || cfg->netns_cookie == 0 || BPF_CORE_READ(task, nsproxy, net_ns, net_cookie) != cfg->netns_cookie) {
        return 0;
    }
    struct sentorix_identity identity;
    current_identity(&identity);
    __u8 pending = SENTORIX_IDENTITY_PENDING;
    if (bpf_map_update_elem(&identities, &identity, &pending, BPF_NOEXIST) != 0) {
        return 0;  /* seen before */
    }
    struct sentorix_process *process = process_entry(tgid);
    struct sentorix_event *event = bpf_ringbuf_reserve(&events, sizeof(*event), 0);
    if (!event) {
        bpf_map_delete_elem(&identities, &identity);  /* told next time instead */
        return 0;
    }
    __builtin_memset(event, 0, sizeof(*event));
    event->kind = SENTORIX_EVENT_PROCESS;
    event->tgid = tgid;
    event->stamp = process ? process->stamp : 0;
    event->identity = identity;
    bpf_ringbuf_submit(event, 0);
    return 0;
}

SEC("tp_btf/sched_process_exit")
int BPF_PROG(sentorix_exit, struct task_struct *task) {
    if (task->pid == task->tgid) {
        __u32 tgid = tgid_in_view(task);
        bpf_map_delete_elem(&processes, &tgid);
    }
    return 0;
}
