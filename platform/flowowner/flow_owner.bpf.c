// SPDX-License-Identifier: GPL-2.0
/* Records which process makes each flow, at the moment it makes it: a TCP connect, a
 * UDP datagram sent, a TCP listen or UDP bind (for inbound flows). The records of
 * connects and datagrams outlive the socket and the process, so a flow whose first
 * packet is looked at later still has its owner; those of listening and bound sockets
 * go when the socket is released, or stops listening, since no flow reaches them after. Executable paths
 * are kept once per executable file, recorded at exec (and on first sight of a process
 * that was running before). Only flows of the network namespace named by target_netns
 * are recorded. */

#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "FlowOwnerRecord.h"

#define AF_INET 2
#define AF_INET6 10
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17
#define SOCK_DGRAM 2

/* A UDP flow's first owner is kept this long: a UDP tuple can be used again at once
 * by another process, before the first one's queued packet is looked at. A TCP
 * connect's tuple belongs to the connecting socket alone. */
#define YOUNG_NS 1000000000ULL
/* Steps of a path walk: a name takes at least two bytes of the path, so only a path
 * too long to keep, or mounts stacked this deep, run out of steps. */
#define PATH_STEPS (4 * QM_EXE_PATH_MAX)

const volatile __u64 target_netns = 0;

/* As many flows as may wait for their description (65,536 packets), so that a burst of
 * new flows does not push out the records of those not yet described. */
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 65536);
    __type(key, struct qm_flow_key);
    __type(value, struct qm_owner);
} flows SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 4096);
    __type(key, struct qm_exe_key);
    __type(value, struct qm_exe_path);
} exes SEC(".maps");

/* The key of a listening or bound socket's record, kept with the socket until it is
 * released. */
struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct qm_flow_key);
} bound SEC(".maps");

/* The path is built right to left in the first half of text; the second half is slack
 * that lets the verifier see every copy in bounds. */
struct scratch {
    char text[2 * QM_EXE_PATH_MAX];
    struct qm_exe_path out;
};

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct scratch);
} scratch SEC(".maps");

char LICENSE[] SEC("license") = "GPL";

/* ---- executables ------------------------------------------------------------------ */

static __always_inline struct qm_exe_key exe_key(struct file *file) {
    struct qm_exe_key key = {};
    struct inode *inode = BPF_CORE_READ(file, f_inode);
    key.ino = BPF_CORE_READ(inode, i_ino);
    key.dev = BPF_CORE_READ(inode, i_sb, s_dev);
    return key;
}

struct walk {
    struct dentry *dentry;
    struct vfsmount *vfsmnt;
    struct mount *mnt;
    __u32 off; /* where the text written so far begins */
    int done;  /* reached the root: only then is the text the whole path */
};

/* One step up from w->dentry: prepends "/name", or crosses to the mount below. */
static long walk_step(__u32 index, struct walk *w) {
    __u32 zero = 0;
    struct scratch *s = bpf_map_lookup_elem(&scratch, &zero);
    if (!s) return 1;
    /* Plain copies: a field read through w would be taken for a kernel type's. */
    struct dentry *d = w->dentry;
    struct vfsmount *vfsmnt = w->vfsmnt;
    struct mount *mnt = w->mnt;
    struct dentry *parent = BPF_CORE_READ(d, d_parent);
    struct dentry *root = BPF_CORE_READ(vfsmnt, mnt_root);
    if (d == root || d == parent) {
        if (d != root) return 1; /* the top of a file system that is not mounted here */
        struct mount *up = BPF_CORE_READ(mnt, mnt_parent);
        if (up == mnt) { /* the root of the mount tree */
            w->done = 1;
            return 1;
        }
        w->dentry = BPF_CORE_READ(mnt, mnt_mountpoint);
        w->mnt = up;
        w->vfsmnt = (struct vfsmount *)((char *)up + bpf_core_field_offset(struct mount, mnt));
        return 0;
    }
    __u32 len = BPF_CORE_READ(d, d_name.len);
    const unsigned char *name = BPF_CORE_READ(d, d_name.name);
    if (len + 1 >= w->off) return 1; /* too long to keep */
    w->off -= len + 1;
    __u32 off = w->off;
    s->text[off & (QM_EXE_PATH_MAX - 1)] = '/';
    bpf_probe_read_kernel(&s->text[(off + 1) & (QM_EXE_PATH_MAX - 1)], len & (QM_EXE_PATH_MAX - 1), name);
    w->dentry = parent;
    return 0;
}

/* Records the absolute path of an executable file under its key; an empty one when the
 * walk does not reach the root, so that a path is never shortened. */
static __always_inline void record_exe(struct file *file, int always) {
    struct qm_exe_key key = exe_key(file);
    if (!always && bpf_map_lookup_elem(&exes, &key)) return;
    __u32 zero = 0;
    struct scratch *s = bpf_map_lookup_elem(&scratch, &zero);
    if (!s) return;
    struct walk w = {};
    w.dentry = BPF_CORE_READ(file, f_path.dentry);
    w.vfsmnt = BPF_CORE_READ(file, f_path.mnt);
    w.mnt = (struct mount *)((char *)w.vfsmnt - bpf_core_field_offset(struct mount, mnt));
    w.off = QM_EXE_PATH_MAX;
    bpf_loop(PATH_STEPS, walk_step, &w, 0);
    if (!w.done) {
        s->out.path[0] = 0;
    } else if (w.off >= QM_EXE_PATH_MAX) {
        s->out.path[0] = '/';
        s->out.path[1] = 0;
    } else {
        __u32 off = w.off & (QM_EXE_PATH_MAX - 1);
        __u32 n = (QM_EXE_PATH_MAX - off) & (QM_EXE_PATH_MAX - 1);
        bpf_probe_read_kernel(s->out.path, n, &s->text[off]);
        s->out.path[n & (QM_EXE_PATH_MAX - 1)] = 0;
    }
    bpf_map_update_elem(&exes, &key, &s->out, BPF_ANY);
}

SEC("tp_btf/sched_process_exec")
int BPF_PROG(on_exec, struct task_struct *p, pid_t old_pid, struct linux_binprm *bprm) {
    struct file *file = BPF_CORE_READ(bprm, file);
    if (file) record_exe(file, 1);
    return 0;
}

/* ---- owners ----------------------------------------------------------------------- */

/* Records the calling process as the owner of key's flow, made by the socket whose
 * cookie is given. A UDP key keeps its first owner while that is young. */
static __always_inline void record_owner(struct qm_flow_key *key, __u16 family, __u64 socket) {
    struct task_struct *task = (struct task_struct *)bpf_get_current_task();
    __u32 pid = BPF_CORE_READ(task, tgid);
    __u64 start = BPF_CORE_READ(task, group_leader, start_boottime);
    __u64 now = bpf_ktime_get_ns();
    if (key->protocol == IPPROTO_UDP) {
        struct qm_owner *old = bpf_map_lookup_elem(&flows, key);
        if (old && ((old->pid == pid && old->start_boottime == start) || now - old->recorded_ns < YOUNG_NS)) return;
    }

    struct qm_owner o = {};
    o.recorded_ns = now;
    o.socket = socket;
    o.start_boottime = start;
    o.pid = pid;
    o.ppid = BPF_CORE_READ(task, real_parent, tgid);
    o.uid = BPF_CORE_READ(task, cred, uid.val);
    o.euid = BPF_CORE_READ(task, cred, euid.val);
    o.gid = BPF_CORE_READ(task, cred, gid.val);
    o.egid = BPF_CORE_READ(task, cred, egid.val);
    o.auid = 4294967295u;
    if (bpf_core_field_exists(task->loginuid)) o.auid = BPF_CORE_READ(task, loginuid.val);
    if (bpf_core_field_exists(task->sessionid)) o.sessionid = BPF_CORE_READ(task, sessionid);
    o.family = family;
    struct file *exe = BPF_CORE_READ(task, mm, exe_file);
    if (exe) {
        o.exe = exe_key(exe);
        record_exe(exe, 0);
    }
    bpf_map_update_elem(&flows, key, &o, BPF_ANY);
}

/* Keeps a listening or bound socket's key with it, for on_release. */
static __always_inline void remember_bound(void *sk, struct qm_flow_key *key) {
    struct qm_flow_key *kept = bpf_sk_storage_get(&bound, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (kept) *kept = *key;
}

static __always_inline void set_v4(__u8 *out, __u32 address) {
    out[10] = 0xff;
    out[11] = 0xff;
    __builtin_memcpy(out + 12, &address, 4);
}

static __always_inline int is_mapped(const __u32 *a) {
    return a[0] == 0 && a[1] == 0 && a[2] == bpf_htonl(0xffff);
}

/* An IPv6 address; the IPv4-mapped "any" address becomes all zeros. */
static __always_inline void set_v6(__u8 *out, const __u32 *a) {
    if (is_mapped(a) && a[3] == 0) return;
    __builtin_memcpy(out, a, 16);
}

SEC("sockops")
int on_sockops(struct bpf_sock_ops *ctx) {
    if (ctx->op != BPF_SOCK_OPS_TCP_CONNECT_CB && ctx->op != BPF_SOCK_OPS_TCP_LISTEN_CB) return 1;
    if (bpf_get_netns_cookie(ctx) != target_netns) return 1;
    struct qm_flow_key key = {};
    key.protocol = IPPROTO_TCP;
    key.local_port = (__u16)ctx->local_port;
    int listen = ctx->op == BPF_SOCK_OPS_TCP_LISTEN_CB;
    if (!listen) key.remote_port = (__u16)bpf_ntohl(ctx->remote_port);
    __u32 family = ctx->family;
    if (family == AF_INET) {
        if (ctx->local_ip4) set_v4(key.local, ctx->local_ip4);
        if (!listen) set_v4(key.remote, ctx->remote_ip4);
    } else if (family == AF_INET6) {
        __u32 remote[4] = {ctx->remote_ip6[0], ctx->remote_ip6[1], ctx->remote_ip6[2], ctx->remote_ip6[3]};
        if (!listen && is_mapped(remote)) {
            /* An IPv6 socket connecting to an IPv4 peer: the IPv4 ends are set first. */
            if (ctx->local_ip4) set_v4(key.local, ctx->local_ip4);
            set_v4(key.remote, ctx->remote_ip4);
        } else {
            __u32 local[4] = {ctx->local_ip6[0], ctx->local_ip6[1], ctx->local_ip6[2], ctx->local_ip6[3]};
            set_v6(key.local, local);
            if (!listen) set_v6(key.remote, remote);
        }
    } else {
        return 1;
    }
    record_owner(&key, (__u16)family, bpf_get_socket_cookie(ctx));
    if (listen) {
        struct bpf_sock *sk = ctx->sk;
        if (sk) remember_bound(sk, &key);
    }
    return 1;
}

/* Unconnected UDP: the destination comes with each datagram. An IPv6 socket sending to
 * an IPv4-mapped address comes to the IPv4 hook. */
static __always_inline int on_sendmsg(struct bpf_sock_addr *ctx, int v6) {
    if (bpf_get_netns_cookie(ctx) != target_netns) return 1;
    struct bpf_sock *sk = ctx->sk;
    if (!sk) return 1;
    struct qm_flow_key key = {};
    key.protocol = IPPROTO_UDP;
    key.local_port = (__u16)sk->src_port;
    key.remote_port = bpf_ntohs((__u16)ctx->user_port);
    if (v6) {
        __u32 local[4] = {sk->src_ip6[0], sk->src_ip6[1], sk->src_ip6[2], sk->src_ip6[3]};
        if (!local[0] && !local[1] && !local[2] && !local[3]) {
            local[0] = ctx->msg_src_ip6[0];
            local[1] = ctx->msg_src_ip6[1];
            local[2] = ctx->msg_src_ip6[2];
            local[3] = ctx->msg_src_ip6[3];
        }
        __u32 remote[4] = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]};
        set_v6(key.local, local);
        set_v6(key.remote, remote);
    } else {
        __u32 local = sk->src_ip4;
        if (!local) local = ctx->msg_src_ip4;
        if (local) set_v4(key.local, local);
        set_v4(key.remote, ctx->user_ip4);
    }
    record_owner(&key, (__u16)sk->family, bpf_get_socket_cookie(ctx));
    return 1;
}

SEC("cgroup/sendmsg4")
int on_sendmsg4(struct bpf_sock_addr *ctx) { return on_sendmsg(ctx, 0); }

SEC("cgroup/sendmsg6")
int on_sendmsg6(struct bpf_sock_addr *ctx) { return on_sendmsg(ctx, 1); }

/* A UDP socket bound to a port: the owner of the inbound flows it receives. */
static __always_inline int on_bind(struct bpf_sock *sk, int v6) {
    if (sk->protocol != IPPROTO_UDP) return 1;
    struct qm_flow_key key = {};
    key.protocol = IPPROTO_UDP;
    key.local_port = (__u16)sk->src_port;
    if (v6) {
        __u32 local[4] = {sk->src_ip6[0], sk->src_ip6[1], sk->src_ip6[2], sk->src_ip6[3]};
        set_v6(key.local, local);
    } else if (sk->src_ip4) {
        set_v4(key.local, sk->src_ip4);
    }
    record_owner(&key, v6 ? AF_INET6 : AF_INET, bpf_get_socket_cookie(sk));
    remember_bound(sk, &key);
    return 1;
}

SEC("cgroup/post_bind4")
int on_post_bind4(struct bpf_sock *sk) {
    if (bpf_get_netns_cookie(sk) != target_netns) return 1;
    return on_bind(sk, 0);
}

SEC("cgroup/post_bind6")
int on_post_bind6(struct bpf_sock *sk) {
    if (bpf_get_netns_cookie(sk) != target_netns) return 1;
    return on_bind(sk, 1);
}

/* Removes the record a listening or bound socket keeps, unless another socket has
 * taken the key since. */
static __always_inline void forget_bound(void *sk, __u64 socket) {
    struct qm_flow_key *key = bpf_sk_storage_get(&bound, sk, 0, 0);
    if (!key) return;
    struct qm_owner *o = bpf_map_lookup_elem(&flows, key);
    if (o && o->socket == socket) bpf_map_delete_elem(&flows, key);
}

/* A listening or bound socket that goes takes its record along. */
SEC("cgroup/sock_release")
int on_release(struct bpf_sock *sk) {
    forget_bound(sk, bpf_get_socket_cookie(sk));
    return 1;
}

/* So does a listener that stops listening (shut down, but still open): no flow reaches
 * it after. Listening again records it again. */
SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(on_state, struct sock *sk, int oldstate, int newstate) {
    if (oldstate != TCP_LISTEN || newstate == TCP_LISTEN) return 0;
    forget_bound(sk, bpf_get_socket_cookie(sk));
    return 0;
}

/* Connected UDP: the datagram has already passed the output hook when this runs, so
 * the reader waits briefly for it on a miss. */
SEC("tp_btf/sock_send_length")
int BPF_PROG(on_send, struct sock *sk, int ret, int flags) {
    if (ret <= 0) return 0;
    __u16 family = BPF_CORE_READ(sk, __sk_common.skc_family);
    if (family != AF_INET && family != AF_INET6) return 0;
    if (BPF_CORE_READ(sk, sk_protocol) != IPPROTO_UDP) return 0;
    __u16 remote_port = BPF_CORE_READ(sk, __sk_common.skc_dport);
    if (!remote_port) return 0; /* not connected: the sendmsg hooks saw it */
    if (BPF_CORE_READ(sk, __sk_common.skc_net.net, net_cookie) != target_netns) return 0;
    struct qm_flow_key key = {};
    key.protocol = IPPROTO_UDP;
    key.local_port = BPF_CORE_READ(sk, __sk_common.skc_num);
    key.remote_port = bpf_ntohs(remote_port);
    if (family == AF_INET) {
        __u32 local = BPF_CORE_READ(sk, __sk_common.skc_rcv_saddr);
        if (local) set_v4(key.local, local);
        set_v4(key.remote, BPF_CORE_READ(sk, __sk_common.skc_daddr));
    } else {
        __u32 local[4], remote[4];
        BPF_CORE_READ_INTO(&local, sk, __sk_common.skc_v6_rcv_saddr.in6_u.u6_addr32);
        BPF_CORE_READ_INTO(&remote, sk, __sk_common.skc_v6_daddr.in6_u.u6_addr32);
        set_v6(key.local, local);
        set_v6(key.remote, remote);
    }
    record_owner(&key, family, bpf_get_socket_cookie(sk));
    return 0;
}
