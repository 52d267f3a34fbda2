#pragma once
// Process records of flow messages, built from the audit tokens that a flow carries.
// Every lookup that fails is replaced by a fixed fallback, so building a record never
// fails. All lines go to the filter provider's log.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CodeSigning.h"
#include "DateTime.h"
#include "FlowMessage.h"
#include "OSLog.h"
#include "ProcInfo.h"

namespace flowspur {

// The filter provider's log (category "FilterDataProvider"), which the process facts
// write to too.
const oslog::Logger& providerLog();
// "yyyy-MM-dd'T'HH:mm:ss.SSSZ" in the local time zone: message times and process
// start times.
const qm::DateFormatter& flowDateFormatter();

inline constexpr std::int64_t kCodeSigningSigned = 536870912;  // CS_SIGNED

struct SigningFacts {
    std::string identifier;
    bool isPlatformBinary = false;
    std::int64_t flags = 0;
};

// The token's eight fields; nothing for a missing token or one that is not 32 bytes.
std::optional<NFAuditToken> auditToken(const std::optional<std::vector<std::uint8_t>>& bytes);

// The process record of the token's pid.
NFESProcess makeProcess(const NFAuditToken& token, const sec::CodeSigning& codeSigning = sec::systemCodeSigning());
// The same, where recorded holds what was recorded of the process when it made the
// flow: it is used instead of /proc, so the facts are those of that moment, also when
// the process is gone (or its pid is another's by now). A record of another process
// than the token's is not used.
NFESProcess makeProcess(const NFAuditToken& token, const std::optional<proc::ProcessRecord>& recorded,
                        const sec::CodeSigning& codeSigning = sec::systemCodeSigning());

// The signing identifier, platform flag and flags of a process; nothing when the
// process has no signed code with a certificate chain and an identifier.
std::optional<SigningFacts> codeSigningInfo(std::int64_t pid,
                                            const sec::CodeSigning& codeSigning = sec::systemCodeSigning());

}  // namespace flowspur
