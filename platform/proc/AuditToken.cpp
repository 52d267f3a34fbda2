#include "AuditToken.h"

#include <cstring>
#include <fstream>
#include <string>

#include "ProcInfo.h"

namespace proc {

std::array<std::uint8_t, kAuditTokenSize> tokenBytes(const audit_token_t& token) {
    std::array<std::uint8_t, kAuditTokenSize> out{};
    std::memcpy(out.data(), token.val, kAuditTokenSize);
    return out;
}

std::optional<audit_token_t> tokenFromBytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kAuditTokenSize) return std::nullopt;
    audit_token_t t;
    std::memcpy(t.val, bytes.data(), kAuditTokenSize);
    return t;
}

namespace {

std::optional<std::uint32_t> readNumberFile(const std::string& path) {
    std::ifstream in(path);
    long long v = 0;
    if (!(in >> v)) return std::nullopt;
    return static_cast<std::uint32_t>(v);
}

}  // namespace

std::optional<audit_token_t> auditTokenForPid(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid);
    auto info = proc_pidbsdinfo(pid);
    if (!info) return std::nullopt;
    std::ifstream status(dir + "/status");
    std::uint32_t uids[4]{}, gids[4]{};
    bool haveUid = false, haveGid = false;
    for (std::string line; std::getline(status, line);) {
        auto readFour = [&](std::uint32_t* out) {
            std::sscanf(line.c_str() + 4, "%u %u %u %u", &out[0], &out[1], &out[2], &out[3]);
        };
        if (line.rfind("Uid:", 0) == 0) readFour(uids), haveUid = true;
        else if (line.rfind("Gid:", 0) == 0) readFour(gids), haveGid = true;
    }
    if (!haveUid || !haveGid) return std::nullopt;
    audit_token_t t;
    t.val[0] = readNumberFile(dir + "/loginuid").value_or(kAuditUserUnset);
    t.val[1] = uids[1];
    t.val[2] = gids[1];
    t.val[3] = uids[0];
    t.val[4] = gids[0];
    t.val[5] = static_cast<std::uint32_t>(pid);
    t.val[6] = readNumberFile(dir + "/sessionid").value_or(0);
    t.val[7] = static_cast<std::uint32_t>(info->startTicks);
    return t;
}

}  // namespace proc
