/* What the kernel program records and user space reads: shared by both, so plain C.
 * Addresses are 16 bytes, IPv4 ones in their IPv4-mapped IPv6 form (::ffff:a.b.c.d),
 * ports in host byte order. */
#ifndef QM_FLOW_OWNER_RECORD_H
#define QM_FLOW_OWNER_RECORD_H

#ifdef __cplusplus
#include <cstdint>
typedef std::uint8_t qm_u8;
typedef std::uint16_t qm_u16;
typedef std::uint32_t qm_u32;
typedef std::uint64_t qm_u64;
#else
typedef __u8 qm_u8;
typedef __u16 qm_u16;
typedef __u32 qm_u32;
typedef __u64 qm_u64;
#endif

#define QM_EXE_PATH_MAX 1024 /* a power of two */

/* One end pair of a flow. A socket that is not connected (a listener, a bound UDP
 * socket) has a zero remote end; an unbound local address is zero. */
struct qm_flow_key {
    qm_u8 local[16];
    qm_u8 remote[16];
    qm_u16 local_port;
    qm_u16 remote_port;
    qm_u8 protocol;
    qm_u8 pad[3];
};

/* An executable by its file: the kernel's device number (major << 20 | minor) and inode. */
struct qm_exe_key {
    qm_u64 ino;
    qm_u32 dev;
    qm_u32 pad;
};

struct qm_exe_path {
    char path[QM_EXE_PATH_MAX]; /* zero-terminated; empty when unknown or too long */
};

/* The process that made a flow, as it was when it connected or sent. */
struct qm_owner {
    qm_u64 recorded_ns;     /* monotonic clock */
    qm_u64 socket;          /* the socket's cookie */
    qm_u64 start_boottime;  /* the process's start, nanoseconds after boot */
    struct qm_exe_key exe;
    qm_u32 pid;             /* thread group id */
    qm_u32 ppid;
    qm_u32 uid, euid, gid, egid;
    qm_u32 auid;            /* 4294967295 when unset */
    qm_u32 sessionid;
    qm_u16 family;          /* the socket's own family (AF_INET6 for an IPv4-mapped flow) */
    qm_u16 pad[3];
};

#endif
