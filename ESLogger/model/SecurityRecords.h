#pragma once
// Records embedded by the security, session and directory payloads.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CoreRecords.h"

namespace es {

struct ESAuthenticationOd {
    ESProcess instigator;
    std::string record_type, record_name, node_name;
    std::optional<std::string> db_path;
    ES_FIELDS(ESAuthenticationOd, ES_FIELD(instigator), ES_FIELD(record_type), ES_FIELD(record_name),
              ES_FIELD(node_name), ES_FIELD(db_path))
};

struct ESAuthenticationTouchId {
    ESProcess instigator;
    ESTouchMode touchid_mode{};
    std::optional<std::int64_t> uid;
    ES_FIELDS(ESAuthenticationTouchId, ES_FIELD(instigator), ES_FIELD(touchid_mode), ES_FIELD(uid))
};

struct ESAuthenticationToken {
    ESProcess instigator;
    std::string pubkey_hash, token_id;
    std::optional<std::string> kerberos_principle;
    ES_FIELDS(ESAuthenticationToken, ES_FIELD(instigator), ES_FIELD(pubkey_hash), ES_FIELD(token_id),
              ES_FIELD(kerberos_principle))
};

struct ESAuthenticationAutoUnlock {
    std::string username;
    ESAutoUnlockType type = ESAutoUnlockType::ES_AUTO_UNLOCK_MACHINE_UNLOCK;
    ES_FIELDS(ESAuthenticationAutoUnlock, ES_FIELD(username), ES_FIELD(type))
};

struct ESBTMLaunchItem {
    ESBTMItemType item_type{};
    bool legacy{}, managed{};
    std::int64_t uid{};
    std::string item_url;
    std::optional<std::string> app_url;
    ES_FIELDS(ESBTMLaunchItem, ES_FIELD(item_type), ES_FIELD(legacy), ES_FIELD(managed), ES_FIELD(uid),
              ES_FIELD(item_url), ES_FIELD(app_url))
};

struct ESAuthResult {
    std::string right_name;
    ESAuthRuleClass rule_class{};
    bool granted{};
    ES_FIELDS(ESAuthResult, ES_FIELD(right_name), ES_FIELD(rule_class), ES_FIELD(granted))
};

struct ESProfile {
    std::string identifier, uuid;
    ESProfileSource install_source{};
    std::string organization, display_name, scope;
    ES_FIELDS(ESProfile, ES_FIELD(identifier), ES_FIELD(uuid), ES_FIELD(install_source), ES_FIELD(organization),
              ES_FIELD(display_name), ES_FIELD(scope))
};

struct ESSudoRejectInfo {
    std::string plugin_name;
    ESSudoPluginType plugin_type{};
    std::string failure_message;
    ES_FIELDS(ESSudoRejectInfo, ES_FIELD(plugin_name), ES_FIELD(plugin_type), ES_FIELD(failure_message))
};

struct ESODMemberID {
    ESODMemberType member_type{};
    std::string member_value;
    ES_FIELDS(ESODMemberID, ES_FIELD(member_type), ES_FIELD(member_value))
};

struct ESODMemberIDArray {
    ESODMemberType member_type{};
    std::vector<std::string> member_array;
    ES_FIELDS(ESODMemberIDArray, ES_FIELD(member_type), ES_FIELD(member_array))
};

}  // namespace es
