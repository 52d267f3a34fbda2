#pragma once
// Code signing lookups by pid. Linux has no code objects: the system lookup reports
// that the process has no guest code, so callers take their fallbacks. The interface
// lets tests stand in a signed world.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sec {

using OSStatus = std::int32_t;
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecCSNoSuchCode = -67065;

struct SecCode {
    std::int64_t pid = 0;
};
struct SecStaticCode {
    std::int64_t pid = 0;
};
struct SecCertificate {
    std::optional<std::string> commonName;
};

// What a signing-information dictionary holds. An entry of the wrong kind is absent.
struct SigningInformation {
    std::optional<std::vector<SecCertificate>> certificates;  // kSecCodeInfoCertificates
    std::optional<std::string> identifier;                    // kSecCodeInfoIdentifier
};

class CodeSigning {
public:
    virtual ~CodeSigning() = default;
    // SecCodeCopyGuestWithAttributes with {kSecGuestAttributePid: pid}.
    virtual OSStatus copyGuestWithPid(std::int64_t pid, std::optional<SecCode>& code) const = 0;
    // SecCodeCopyStaticCode.
    virtual OSStatus copyStaticCode(const SecCode& code, std::optional<SecStaticCode>& staticCode) const = 0;
    // SecCodeCopySigningInformation with the signing-information flag.
    virtual OSStatus copySigningInformation(const SecStaticCode& code,
                                            std::optional<SigningInformation>& info) const = 0;
    // SecCertificateCopyCommonName.
    virtual std::optional<std::string> copyCommonName(const SecCertificate& certificate) const = 0;
};

// The system's lookups.
const CodeSigning& systemCodeSigning();

}  // namespace sec
