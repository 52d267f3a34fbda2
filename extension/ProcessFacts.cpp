#include "ProcessFacts.h"

#include "AuditToken.h"
#include "ProcInfo.h"
#include "TextForms.h"

namespace flowspur {

const oslog::Logger& providerLog() {
    static const oslog::Logger log(std::string(kExtensionBundleIdentifier), "FilterDataProvider");
    return log;
}

const qm::DateFormatter& flowDateFormatter() {
    static const qm::DateFormatter formatter("yyyy-MM-dd'T'HH:mm:ss.SSSZ");
    return formatter;
}

std::optional<NFAuditToken> auditToken(const std::optional<std::vector<std::uint8_t>>& bytes) {
    if (!bytes) return std::nullopt;
    auto token = proc::tokenFromBytes(*bytes);
    if (!token) {
        providerLog().debug("audit token is incorrect size");
        return std::nullopt;
    }
    // The three signed values keep their sign; the ids are widened without one.
    return NFAuditToken{
        .asid = proc::audit_token_to_asid(*token),
        .pidversion = proc::audit_token_to_pidversion(*token),
        .ruid = std::int64_t(std::uint32_t(proc::audit_token_to_ruid(*token))),
        .euid = std::int64_t(std::uint32_t(proc::audit_token_to_euid(*token))),
        .rgid = std::int64_t(std::uint32_t(proc::audit_token_to_rgid(*token))),
        .auid = std::int64_t(std::uint32_t(proc::audit_token_to_auid(*token))),
        .egid = std::int64_t(std::uint32_t(proc::audit_token_to_egid(*token))),
        .pid = proc::audit_token_to_pid(*token),
    };
}

NFESProcess makeProcess(const NFAuditToken& token, const sec::CodeSigning& codeSigning) {
    return makeProcess(token, std::nullopt, codeSigning);
}

NFESProcess makeProcess(const NFAuditToken& token, const std::optional<proc::ProcessRecord>& recorded,
                        const sec::CodeSigning& codeSigning) {
    const oslog::Logger& log = providerLog();
    const auto pid = static_cast<pid_t>(token.pid);
    const std::int64_t pidValue = pid;

    // The token's pidversion is the start time in clock ticks, cut to 32 bits.
    auto sameStart = [&](const proc::proc_bsdinfo& i) {
        return std::int32_t(std::uint32_t(i.startTicks)) == std::int32_t(token.pidversion);
    };
    const proc::ProcessRecord* record =
        recorded && std::int64_t(recorded->info.pbi_pid) == token.pid && sameStart(recorded->info) ? &*recorded
                                                                                                    : nullptr;
    // The record is what the process was when it made the flow (it may have exited or
    // run another executable since), and costs no reading of /proc.
    auto info = record ? std::optional(record->info) : proc::proc_pidbsdinfo(pid);
    std::string path = "<unknown>";
    auto found = record ? record->path : proc::proc_pidpath(pid);
    if (!found && record) {
        auto now = proc::proc_pidbsdinfo(pid);
        if (now && sameStart(*now)) found = proc::proc_pidpath(pid);
    }
    if (found) path = es::repairedUTF8(*found);
    else log.debug("unable to get process path from pid, using <unknown> - pid: %ld", pidValue);

    std::string startTime = flowDateFormatter().format(qm::Instant{0, 0});
    std::int64_t ppid = -1;
    NFAuditToken parent = token;
    if (info) {
        ppid = info->pbi_ppid;
        // No real token of the parent is ever built.
        log.debug("unable to create audit token from ppid, falling back to generic audit token structure");
        startTime = flowDateFormatter().format(qm::Instant{std::int64_t(info->pbi_start_tvsec), 0});
        parent = NFAuditToken{};
        parent.pid = ppid;
    } else {
        log.debug("unable to get details BSD process info from pid, using default fake values - pid: %ld", pidValue);
    }

    auto signing = codeSigningInfo(pidValue, codeSigning);
    if (!signing) log.debug("unable to get signing details from pid, using fake defaults - pid: %ld", pidValue);

    NFESProcess p;
    p.audit_token = token;
    p.ppid = ppid;
    p.original_ppid = ppid;
    p.codesigning_flags = signing ? signing->flags : 0;
    p.is_platform_binary = signing && signing->isPlatformBinary;
    if (signing) p.signing_id = signing->identifier;
    p.executable.path = std::move(path);
    p.start_time = std::move(startTime);
    p.responsible_audit_token = {-1, -1, -1, -1, -1, -1, -1, -1};
    p.parent_audit_token = parent;
    return p;
}

std::optional<SigningFacts> codeSigningInfo(std::int64_t pid, const sec::CodeSigning& codeSigning) {
    const oslog::Logger& log = providerLog();
    std::optional<sec::SecCode> code;
    sec::OSStatus status = codeSigning.copyGuestWithPid(pid, code);
    if (!code) {
        log.debug("SecCodeCopyGuestWithAttributes secCode invalid: %{public}d", status);
        return std::nullopt;
    }
    std::optional<sec::SecStaticCode> staticCode;
    status = codeSigning.copyStaticCode(*code, staticCode);
    if (!staticCode) {
        log.debug("SecCodeCopyStaticCode secStaticCode invalid:  %{public}d", status);
        return std::nullopt;
    }
    std::optional<sec::SigningInformation> info;
    status = codeSigning.copySigningInformation(*staticCode, info);
    if (!info) {
        log.debug("SecCodeCopySigningInformation signingInfo invalid:  %{public}d", status);
        return std::nullopt;
    }
    if (!info->certificates) {
        log.debug("signingInfo certificates invalid");
        return std::nullopt;
    }
    if (!info->identifier) {
        log.debug("signingInfo codeId invalid");
        return std::nullopt;
    }
    SigningFacts facts{*info->identifier, false, kCodeSigningSigned};
    for (const sec::SecCertificate& certificate : *info->certificates) {
        auto name = codeSigning.copyCommonName(certificate);
        if (name && name->starts_with("Apple Code Signing")) {
            facts.isPlatformBinary = true;
            log.debug("found platform binary");
        }
    }
    return facts;
}

}  // namespace flowspur
