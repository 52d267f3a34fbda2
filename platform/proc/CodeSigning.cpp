#include "CodeSigning.h"

namespace sec {

namespace {

// Linux processes carry no code signature: there is no guest code to find.
class SystemCodeSigning final : public CodeSigning {
public:
    OSStatus copyGuestWithPid(std::int64_t, std::optional<SecCode>& code) const override {
        code.reset();
        return errSecCSNoSuchCode;
    }
    OSStatus copyStaticCode(const SecCode&, std::optional<SecStaticCode>& staticCode) const override {
        staticCode.reset();
        return errSecCSNoSuchCode;
    }
    OSStatus copySigningInformation(const SecStaticCode&, std::optional<SigningInformation>& info) const override {
        info.reset();
        return errSecCSNoSuchCode;
    }
    std::optional<std::string> copyCommonName(const SecCertificate& certificate) const override {
        return certificate.commonName;
    }
};

}  // namespace

const CodeSigning& systemCodeSigning() {
    static const SystemCodeSigning instance;
    return instance;
}

}  // namespace sec
