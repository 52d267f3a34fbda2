#include "ODErrorNames.h"

#include <array>
#include <cstddef>
#include <utility>

namespace es {

namespace {

using ODErrorEntry = std::pair<std::int64_t, std::string_view>;

constexpr std::array<ODErrorEntry, 63> kODErrors{{
    {0, "kODErrorSuccess"},
    {1000, "kODErrorSessionLocalOnlyDaemonInUse"},
    {1001, "kODErrorSessionNormalDaemonInUse"},
    {1002, "kODErrorSessionDaemonNotRunning"},
    {1003, "kODErrorSessionDaemonRefused"},
    {1100, "kODErrorSessionProxyCommunicationError"},
    {1101, "kODErrorSessionProxyVersionMismatch"},
    {1102, "kODErrorSessionProxyIPUnreachable"},
    {1103, "kODErrorSessionProxyUnknownHost"},
    {2000, "kODErrorNodeUnknownName"},
    {2001, "kODErrorNodeUnknownType"},
    {2002, "kODErrorNodeDisabled"},
    {2100, "kODErrorNodeConnectionFailed"},
    {2200, "kODErrorNodeUnknownHost"},
    {3000, "kODErrorQuerySynchronize"},
    {3100, "kODErrorQueryInvalidMatchType"},
    {3101, "kODErrorQueryUnsupportedMatchType"},
    {3102, "kODErrorQueryTimeout"},
    {4000, "kODErrorRecordReadOnlyNode"},
    {4001, "kODErrorRecordPermissionError"},
    {4100, "kODErrorRecordParameterError"},
    {4101, "kODErrorRecordInvalidType"},
    {4102, "kODErrorRecordAlreadyExists"},
    {4103, "kODErrorRecordTypeDisabled"},
    {4104, "kODErrorRecordNoLongerExists"},
    {4200, "kODErrorRecordAttributeUnknownType"},
    {4201, "kODErrorRecordAttributeNotFound"},
    {4202, "kODErrorRecordAttributeValueSchemaError"},
    {4203, "kODErrorRecordAttributeValueNotFound"},
    {5000, "kODErrorCredentialsInvalid"},
    {5100, "kODErrorCredentialsMethodNotSupported"},
    {5101, "kODErrorCredentialsNotAuthorized"},
    {5102, "kODErrorCredentialsParameterError"},
    {5103, "kODErrorCredentialsOperationFailed"},
    {5200, "kODErrorCredentialsServerUnreachable"},
    {5201, "kODErrorCredentialsServerNotFound"},
    {5202, "kODErrorCredentialsServerError"},
    {5203, "kODErrorCredentialsServerTimeout"},
    {5204, "kODErrorCredentialsContactPrimary"},
    {5205, "kODErrorCredentialsServerCommunicationError"},
    {5300, "kODErrorCredentialsAccountNotFound"},
    {5301, "kODErrorCredentialsAccountDisabled"},
    {5302, "kODErrorCredentialsAccountExpired"},
    {5303, "kODErrorCredentialsAccountInactive"},
    {5304, "kODErrorCredentialsAccountTemporarilyLocked"},
    {5305, "kODErrorCredentialsAccountLocked"},
    {5400, "kODErrorCredentialsPasswordExpired"},
    {5401, "kODErrorCredentialsPasswordChangeRequired"},
    {5402, "kODErrorCredentialsPasswordQualityFailed"},
    {5403, "kODErrorCredentialsPasswordTooShort"},
    {5404, "kODErrorCredentialsPasswordTooLong"},
    {5405, "kODErrorCredentialsPasswordNeedsLetter"},
    {5406, "kODErrorCredentialsPasswordNeedsDigit"},
    {5407, "kODErrorCredentialsPasswordChangeTooSoon"},
    {5408, "kODErrorCredentialsPasswordUnrecoverable"},
    {5500, "kODErrorCredentialsInvalidLogonHours"},
    {5501, "kODErrorCredentialsInvalidComputer"},
    {6000, "kODErrorPolicyUnsupported"},
    {6001, "kODErrorPolicyOutOfRange"},
    {10000, "kODErrorPluginOperationNotSupported"},
    {10001, "kODErrorPluginError"},
    {10002, "kODErrorDaemonError"},
    {10003, "kODErrorPluginOperationTimeout"},
}};

// Each code once: the list is kept in strictly ascending code order.
constexpr bool strictlyAscending() {
    for (std::size_t i = 1; i < kODErrors.size(); ++i)
        if (kODErrors[i].first <= kODErrors[i - 1].first) return false;
    return true;
}
static_assert(strictlyAscending(), "Open Directory error codes must be unique and ascending");

}  // namespace

const ODErrorNameTable& odErrorNames() {
    // A function-local static: built by exactly one caller, others wait for it.
    static const ODErrorNameTable table = [] {
        ODErrorNameTable t;
        t.reserve(kODErrors.size());
        for (const auto& [code, name] : kODErrors) t.emplace(code, name);
        return t;
    }();
    return table;
}

std::optional<std::string_view> odErrorName(std::int64_t code) {
    const auto& table = odErrorNames();
    auto it = table.find(code);
    if (it == table.end()) return std::nullopt;
    return it->second;
}

}  // namespace es
