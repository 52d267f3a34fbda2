#pragma once
// Audit tokens: eight 32-bit words in the kernel's order (auid, euid, egid, ruid,
// rgid, pid, asid, pidversion), read through accessors, and filled from /proc.

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace proc {

struct audit_token_t {
    std::uint32_t val[8]{};
    friend bool operator==(const audit_token_t&, const audit_token_t&) = default;
};

inline constexpr std::size_t kAuditTokenSize = sizeof(audit_token_t);  // 32
inline constexpr std::uint32_t kAuditUserUnset = 4294967295u;

inline uid_t audit_token_to_auid(const audit_token_t& t) { return t.val[0]; }
inline uid_t audit_token_to_euid(const audit_token_t& t) { return t.val[1]; }
inline gid_t audit_token_to_egid(const audit_token_t& t) { return t.val[2]; }
inline uid_t audit_token_to_ruid(const audit_token_t& t) { return t.val[3]; }
inline gid_t audit_token_to_rgid(const audit_token_t& t) { return t.val[4]; }
inline pid_t audit_token_to_pid(const audit_token_t& t) { return static_cast<pid_t>(t.val[5]); }
inline std::int32_t audit_token_to_asid(const audit_token_t& t) { return static_cast<std::int32_t>(t.val[6]); }
inline std::int32_t audit_token_to_pidversion(const audit_token_t& t) { return static_cast<std::int32_t>(t.val[7]); }

// The token's 32 bytes (words in host byte order) and back; nothing for another length.
std::array<std::uint8_t, kAuditTokenSize> tokenBytes(const audit_token_t& token);
std::optional<audit_token_t> tokenFromBytes(std::span<const std::uint8_t> bytes);

// The token of a running process: ids from /proc/PID/status, auid from loginuid
// (unset: 4294967295), asid from sessionid, pidversion from the start time in stat.
// Nothing when the process is gone.
std::optional<audit_token_t> auditTokenForPid(pid_t pid);

}  // namespace proc
