// Model enumerations and code-signing flags: raw values, case names, lookups of
// sparse enums, JSON coding and the text form.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <unordered_set>

#include "Coding.h"
#include "CoreRecords.h"
#include "EventType.h"

using namespace es;
using Kind = DecodeFailure::Kind;

namespace {

// Decodes {"v": raw} into a record holding one E, returning the case name or the
// failure kind.
template <class E>
struct Holder {
    E v{};
    ES_FIELDS(Holder, ES_FIELD(v))
};

template <class E>
std::string decodeName(const std::string& raw) {
    auto d = decodeJSON<Holder<E>>("{\"v\":" + raw + "}");
    if (!d.ok()) return "fail:" + std::string(kindName(d.failure().kind));
    return std::string(caseName(d.value().v));
}

// Every valid raw value decodes and encodes back to the same number.
template <class E>
void expectRoundTrips() {
    for (const auto& c : EnumInfo<E>::cases) {
        std::string raw = std::to_string(c.raw);
        auto d = decodeJSON<Holder<E>>("{\"v\":" + raw + "}");
        ASSERT_TRUE(d.ok()) << EnumInfo<E>::typeName << " " << raw;
        EXPECT_EQ(caseName(d.value().v), c.name);
        EXPECT_EQ(encodeJSON(d.value()), "{\"v\":" + raw + "}");
    }
}

}  // namespace

TEST(Enums, DecodeByRawValue) {
    struct Case {
        std::string (*decode)(const std::string&);
        const char* raw;
        const char* expected;
    } cases[] = {
        {decodeName<ActionType>, "0", "ES_ACTION_TYPE_AUTH"},
        {decodeName<ActionType>, "1", "ES_ACTION_TYPE_NOTIFY"},
        {decodeName<ActionType>, "2", "fail:corruptedData"},
        {decodeName<ActionType>, "-1", "fail:corruptedData"},
        {decodeName<ESAutoUnlockType>, "0", "fail:corruptedData"},
        {decodeName<ESAutoUnlockType>, "2", "ES_AUTO_UNLOCK_AUTH_PROMPT"},
        {decodeName<ESAutoUnlockType>, "3", "fail:corruptedData"},
        {decodeName<ESSocketType>, "0", "fail:corruptedData"},
        {decodeName<ESSocketType>, "5", "SOCK_SEQPACKET"},
        {decodeName<ESSocketType>, "6", "fail:corruptedData"},
        {decodeName<ESXPCDomainType>, "0", "fail:corruptedData"},
        {decodeName<ESXPCDomainType>, "8", "ES_XPC_DOMAIN_TYPE_GUI"},
        {decodeName<ESXPCDomainType>, "9", "fail:corruptedData"},
        {decodeName<ESProcCheckType>, "14", "ES_PROC_CHECK_TYPE_UDATA_INFO"},
        {decodeName<ESProcCheckType>, "9", "ES_PROC_CHECK_TYPE_PIDRUSAGE"},
        {decodeName<ESProcCheckType>, "0", "fail:corruptedData"},
        {decodeName<ESProcCheckType>, "10", "fail:corruptedData"},
        {decodeName<ESProcCheckType>, "13", "fail:corruptedData"},
        {decodeName<ESProcCheckType>, "15", "fail:corruptedData"},
        {decodeName<ESProcSuspendResumeType>, "3", "ES_PROC_SUSPEND_RESUME_TYPE_SHUTDOWN_SOCKETS"},
        {decodeName<ESProcSuspendResumeType>, "2", "fail:corruptedData"},
        {decodeName<ESIPProtocol>, "6", "IPPROTO_TCP"},
        {decodeName<ESIPProtocol>, "17", "IPPROTO_UDP"},
        {decodeName<ESIPProtocol>, "0", "IPPROTO_IP"},
        {decodeName<ESIPProtocol>, "4", "IPPROTO_IPV4"},
        {decodeName<ESIPProtocol>, "256", "IPPROTO_MAX"},
        {decodeName<ESIPProtocol>, "5", "fail:corruptedData"},
        {decodeName<ESIPProtocol>, "55", "fail:corruptedData"},
        {decodeName<ESIPProtocol>, "101", "fail:corruptedData"},
        {decodeName<ESIPProtocol>, "257", "fail:corruptedData"},
        {decodeName<ESIPProtocol>, "-9223372036854775808", "fail:corruptedData"},
        {decodeName<ESAuthenticationType>, "4", "ES_AUTHENTICATION_TYPE_LAST"},
        {decodeName<ESAuthenticationType>, "5", "fail:corruptedData"},
        {decodeName<ESSocketDomain>, "41", "AF_MAX"},
        {decodeName<ESSocketDomain>, "26", "AF_INVALID26"},
        {decodeName<ESSocketDomain>, "12", "AF_DECnet"},
        {decodeName<ESSocketDomain>, "42", "fail:corruptedData"},
        {decodeName<SignalType>, "26", "SIGVTARLM"},
        {decodeName<SignalType>, "0", "SIGZERO"},
        {decodeName<SignalType>, "31", "SIGUSR2"},
        {decodeName<SignalType>, "32", "fail:corruptedData"},
        // case names are never accepted on input
        {decodeName<SignalType>, "\"SIGKILL\"", "fail:wrongType"},
        {decodeName<SignalType>, "null", "fail:missingValue"},
        {decodeName<EventType>, "90210", "ES_EVENT_TYPE_NOTIFY_NETWORKFLOW"},
        {decodeName<EventType>, "146", "ES_EVENT_TYPE_LAST"},
        {decodeName<EventType>, "147", "fail:corruptedData"},
        {decodeName<EventType>, "90211", "fail:corruptedData"},
        {decodeName<EventType>, "-1", "fail:corruptedData"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.decode(c.raw), c.expected) << c.raw;
}

TEST(Enums, EveryValidNumberRoundTrips) {
    expectRoundTrips<ActionType>();
    expectRoundTrips<ESResultType>();
    expectRoundTrips<ESAuthResultType>();
    expectRoundTrips<ESSetOrClear>();
    expectRoundTrips<ESDestinationType>();
    expectRoundTrips<ESTouchMode>();
    expectRoundTrips<ESProfileSource>();
    expectRoundTrips<ESODAccountType>();
    expectRoundTrips<ESODRecordType>();
    expectRoundTrips<ESGetTaskType>();
    expectRoundTrips<ESODMemberType>();
    expectRoundTrips<ESAddressType>();
    expectRoundTrips<ESBTMItemType>();
    expectRoundTrips<ESAuthenticationType>();
    expectRoundTrips<ESAuthRuleClass>();
    expectRoundTrips<ESSudoPluginType>();
    expectRoundTrips<ESOpenSSHLoginResultType>();
    expectRoundTrips<SignalType>();
    expectRoundTrips<ESSocketDomain>();
    expectRoundTrips<ESAutoUnlockType>();
    expectRoundTrips<ESSocketType>();
    expectRoundTrips<ESXPCDomainType>();
    expectRoundTrips<ESProcCheckType>();
    expectRoundTrips<ESProcSuspendResumeType>();
    expectRoundTrips<ESIPProtocol>();
    expectRoundTrips<EventType>();
}

TEST(Enums, CaseCounts) {
    EXPECT_EQ(EnumInfo<ESIPProtocol>::cases.size(), 104u);
    EXPECT_EQ(EnumInfo<ESSocketDomain>::cases.size(), 42u);
    EXPECT_EQ(EnumInfo<SignalType>::cases.size(), 32u);
    EXPECT_EQ(allEventTypeCases.size(), 148u);
    EXPECT_EQ(allEventTypeCases.front().name, "ES_EVENT_TYPE_AUTH_EXEC");
    EXPECT_EQ(allEventTypeCases.back().name, "ES_EVENT_TYPE_NOTIFY_NETWORKFLOW");
    EXPECT_EQ(encodeJSON(Holder<ESIPProtocol>{ESIPProtocol::IPPROTO_ICMPV6}), "{\"v\":58}");
}

TEST(Enums, ShortNames) {
    EXPECT_EQ(shortName(ESXPCDomainType::ES_XPC_DOMAIN_TYPE_USER_LOGIN), "user_login");
    std::vector<std::string> xpc;
    for (const auto& c : EnumInfo<ESXPCDomainType>::cases) xpc.push_back(shortName(ESXPCDomainType(c.raw)));
    EXPECT_EQ(xpc, (std::vector<std::string>{"system", "user", "user_login", "session", "pid", "manager", "port", "gui"}));

    EXPECT_EQ(shortName(EventType::ES_EVENT_TYPE_AUTH_OPEN), "open");
    EXPECT_EQ(shortName(EventType::ES_EVENT_TYPE_NOTIFY_OPEN), "open");
    EXPECT_EQ(shortName(EventType::ES_EVENT_TYPE_AUTH_FILE_PROVIDER_UPDATE), "file_provider_update");
    EXPECT_EQ(shortName(EventType::ES_EVENT_TYPE_NOTIFY_UIPC_BIND), "uipc_bind");
    EXPECT_EQ(shortName(EventType::ES_EVENT_TYPE_AUTH_UIPC_BIND), "uipc_bind");
    EXPECT_EQ(shortName(EventType::ES_EVENT_TYPE_NOTIFY_NETWORKFLOW), "networkflow");
    EXPECT_EQ(shortName(EventType::ES_EVENT_TYPE_LAST), "");

    // AUTH and NOTIFY share names; 103 distinct non-empty names, all NOTIFY.
    std::set<std::string> notify, all;
    int notifyCases = 0;
    for (const auto& c : allEventTypeCases) {
        std::string s = shortName(EventType(c.raw));
        if (c.name.find("_NOTIFY_") != std::string_view::npos) {
            notify.insert(s);
            ++notifyCases;
        }
        if (!s.empty()) all.insert(s);
    }
    EXPECT_EQ(notifyCases, 103);
    EXPECT_EQ(notify.size(), 103u);
    EXPECT_EQ(all, notify);
}

TEST(CodeSigningFlags, TextForm) {
    struct Case {
        std::int64_t raw;
        const char* text;
    } cases[] = {
        {0, ""},
        {0x30, ""},
        {CodeSigningFlags::CS_VALID | CodeSigningFlags::CS_PLATFORM_BINARY, "CS_VALID | CS_PLATFORM_BINARY"},
        {0x3f02, "CS_ADHOC | CS_HARD | CS_KILL | CS_CHECK_EXPIRATION | CS_RESTRICT | CS_ENFORCEMENT | CS_REQUIRE_LV"},
        {0x100000000, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(CodeSigningFlags(c.raw).description(), c.text) << c.raw;

    std::string all = CodeSigningFlags(-1).description();
    for (const auto& f : CodeSigningFlags::named) {
        auto at = all.find(f.name);
        ASSERT_NE(at, std::string::npos) << f.name;
        // each name once: no second occurrence as a whole name
        EXPECT_EQ(all.find(std::string(f.name) + " ", at + 1), std::string::npos) << f.name;
    }
    EXPECT_EQ(std::count(all.begin(), all.end(), '|'), 23);
}

TEST(CodeSigningFlags, KeepsEveryBitThroughJSON) {
    for (const char* raw : {"0", "48", "4294967296", "-1", "9223372036854775807"}) {
        std::string json = std::string("{\"v\":") + raw + "}";
        auto d = decodeJSON<Holder<CodeSigningFlags>>(json);
        ASSERT_TRUE(d.ok()) << raw;
        EXPECT_EQ(encodeJSON(d.value()), json);
    }
    EXPECT_EQ(decodeJSON<Holder<CodeSigningFlags>>("{\"v\":\"1\"}").failure().kind, Kind::wrongType);
    CodeSigningFlags set{CodeSigningFlags(CodeSigningFlags::CS_VALID), CodeSigningFlags(CodeSigningFlags::CS_SIGNED)};
    EXPECT_TRUE(set.contains(CodeSigningFlags(CodeSigningFlags::CS_SIGNED)));
    EXPECT_FALSE(set.contains(CodeSigningFlags(CodeSigningFlags::CS_ADHOC)));
    EXPECT_TRUE(CodeSigningFlags{}.isEmpty());
}

TEST(CodeSigningFlags, HashAgreesWithEquality) {
    const std::int64_t raws[] = {0, 1, 0x30, 0x4000001, 0x100000000, -1, INT64_MIN};
    std::hash<CodeSigningFlags> hash;
    for (auto a : raws)
        for (auto b : raws) {
            EXPECT_EQ(CodeSigningFlags(a) == CodeSigningFlags(b), a == b);
            if (a == b) {
                EXPECT_EQ(hash(CodeSigningFlags(a)), hash(CodeSigningFlags(b)));
            }
        }
    // Usable as a key: equal values meet in one entry.
    std::unordered_set<CodeSigningFlags> set;
    for (auto raw : raws) set.insert(CodeSigningFlags(raw));
    set.insert(CodeSigningFlags(0x30));
    EXPECT_EQ(set.size(), std::size(raws));
    EXPECT_TRUE(set.contains(CodeSigningFlags(-1)));
}
