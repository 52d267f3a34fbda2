#include <array>

#include "ESLogger.h"
#include "TextForms.h"

namespace es {

namespace {

struct KindText {
    std::string_view name;
    std::string_view payloadLabel;  // empty for kinds without a payload
};

// In the order of ESLogger::Error::Kind.
constexpr std::array<KindText, 13> kindTexts = {{
    {"errorReadingFromFile", "message"},
    {"jsonMissingKey", "keyName"},
    {"jsonInvalidValue", "valueName"},
    {"jsonDecodeError", "message"},
    {"internalError", "message"},
    {"noValidRequestedEvents", {}},
    {"cannotListESLoggerEvents", {}},
    {"needRootPermission", {}},
    {"needTCCFullDiskAccess", {}},
    {"tooManyConnections", {}},
    {"invalidArgument", {}},
    {"needEntitlement", {}},
    {"invalidDataInFile", {}},
}};

}  // namespace

ESLogger::Error::Error(Kind kind, std::string payload) : kind_(kind) {
    const KindText& text = kindTexts[static_cast<std::size_t>(kind)];
    description_ = std::string(text.name);
    if (text.payloadLabel.empty()) return;
    payload_ = std::move(payload);
    description_ += "(" + std::string(text.payloadLabel) + ": " + quotedText(payload_) + ")";
}

}  // namespace es
