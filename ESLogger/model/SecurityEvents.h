#pragma once
// Payload records of the authentication, malware, session, screen-sharing,
// OpenSSH, background task, authorization, profile, su and sudo events. Each is
// a plain value coded by its field table; records that look alike stay separate
// types because the event, not the shape, tells them apart.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CoreRecords.h"
#include "Fields.h"
#include "SecurityRecords.h"

namespace es {

// ---- authentication ----

// `type` and the members of `data` are held side by side as given; `data` may
// hold none, one or several of its members whatever `type` names.
struct ESEvent_authentication {
    struct authentication_inner {
        std::optional<ESAuthenticationOd> od;
        std::optional<ESAuthenticationTouchId> touchid;
        std::optional<ESAuthenticationToken> token;
        std::optional<ESAuthenticationAutoUnlock> auto_unlock;
        ES_FIELDS(authentication_inner, ES_FIELD(od), ES_FIELD(touchid), ES_FIELD(token), ES_FIELD(auto_unlock))
    };
    bool success{};
    ESAuthenticationType type{};
    authentication_inner data;
    ES_FIELDS(ESEvent_authentication, ES_FIELD(success), ES_FIELD(type), ES_FIELD(data))
};

// ---- malware detection and remediation ----

struct ESEvent_xp_malware_detected {
    std::string signature_version, malware_identifier, incident_identifier, detected_path;
    ES_FIELDS(ESEvent_xp_malware_detected, ES_FIELD(signature_version), ES_FIELD(malware_identifier),
              ES_FIELD(incident_identifier), ES_FIELD(detected_path))
};

struct ESEvent_xp_malware_remediated {
    std::string signature_version, malware_identifier, incident_identifier;
    std::string action_type;  // free text
    bool success{};
    std::string result_description;
    std::optional<std::string> remediated_path;
    std::optional<AuditToken> remediated_process_audit_token;
    ES_FIELDS(ESEvent_xp_malware_remediated, ES_FIELD(signature_version), ES_FIELD(malware_identifier),
              ES_FIELD(incident_identifier), ES_FIELD(action_type), ES_FIELD(success),
              ES_FIELD(result_description), ES_FIELD(remediated_path), ES_FIELD(remediated_process_audit_token))
};

// ---- login-window sessions, login and logout ----

struct ESEvent_lw_session_login {
    std::string username;
    std::int64_t graphical_session_id{};
    ES_FIELDS(ESEvent_lw_session_login, ES_FIELD(username), ES_FIELD(graphical_session_id))
};

struct ESEvent_lw_session_logout {
    std::string username;
    std::int64_t graphical_session_id{};
    ES_FIELDS(ESEvent_lw_session_logout, ES_FIELD(username), ES_FIELD(graphical_session_id))
};

struct ESEvent_lw_session_lock {
    std::string username;
    std::int64_t graphical_session_id{};
    ES_FIELDS(ESEvent_lw_session_lock, ES_FIELD(username), ES_FIELD(graphical_session_id))
};

struct ESEvent_lw_session_unlock {
    std::string username;
    std::int64_t graphical_session_id{};
    ES_FIELDS(ESEvent_lw_session_unlock, ES_FIELD(username), ES_FIELD(graphical_session_id))
};

struct ESEvent_login_login {
    bool success{};
    std::optional<std::string> failure_message;
    std::string username;
    std::optional<std::int64_t> uid;
    ES_FIELDS(ESEvent_login_login, ES_FIELD(success), ES_FIELD(failure_message), ES_FIELD(username), ES_FIELD(uid))
};

struct ESEvent_login_logout {
    std::string username;
    std::int64_t uid{};
    ES_FIELDS(ESEvent_login_logout, ES_FIELD(username), ES_FIELD(uid))
};

// ---- screen sharing ----

// `source_address` and `authentication_type` are text, whatever the address type says.
struct ESEvent_screensharing_attach {
    bool success{};
    ESAddressType source_address_type{};
    std::optional<std::string> source_address, viewer_appleid;
    std::string authentication_type;
    std::optional<std::string> authentication_username, session_username;
    bool existing_session{};
    std::int64_t graphical_session_id{};
    ES_FIELDS(ESEvent_screensharing_attach, ES_FIELD(success), ES_FIELD(source_address_type),
              ES_FIELD(source_address), ES_FIELD(viewer_appleid), ES_FIELD(authentication_type),
              ES_FIELD(authentication_username), ES_FIELD(session_username), ES_FIELD(existing_session),
              ES_FIELD(graphical_session_id))
};

struct ESEvent_screensharing_detach {
    ESAddressType source_address_type{};
    std::optional<std::string> source_address, viewer_appleid;
    std::int64_t graphical_session_id{};
    ES_FIELDS(ESEvent_screensharing_detach, ES_FIELD(source_address_type), ES_FIELD(source_address),
              ES_FIELD(viewer_appleid), ES_FIELD(graphical_session_id))
};

// ---- OpenSSH ----

struct ESEvent_openssh_login {
    bool success{};
    ESOpenSSHLoginResultType result_type{};
    ESAddressType source_address_type{};
    std::string source_address, username;
    std::optional<std::int64_t> uid;
    ES_FIELDS(ESEvent_openssh_login, ES_FIELD(success), ES_FIELD(result_type), ES_FIELD(source_address_type),
              ES_FIELD(source_address), ES_FIELD(username), ES_FIELD(uid))
};

struct ESEvent_openssh_logout {
    ESAddressType source_address_type{};
    std::string source_address, username;
    std::int64_t uid{};
    ES_FIELDS(ESEvent_openssh_logout, ES_FIELD(source_address_type), ES_FIELD(source_address),
              ES_FIELD(username), ES_FIELD(uid))
};

// ---- background task management ----

struct ESEvent_btm_launch_item_add {
    std::optional<ESProcess> instigator, app;
    ESBTMLaunchItem item;
    std::optional<std::string> executable_path;
    ES_FIELDS(ESEvent_btm_launch_item_add, ES_FIELD(instigator), ES_FIELD(app), ES_FIELD(item),
              ES_FIELD(executable_path))
};

struct ESEvent_btm_launch_item_remove {
    std::optional<ESProcess> instigator, app;
    ESBTMLaunchItem item;
    ES_FIELDS(ESEvent_btm_launch_item_remove, ES_FIELD(instigator), ES_FIELD(app), ES_FIELD(item))
};

// ---- authorization ----

// `result_count` and `results` are held as given; they need not agree.
struct ESEvent_authorization_judgement {
    ESProcess instigator;
    std::optional<ESProcess> petitioner;
    std::int64_t return_code{}, result_count{};
    std::optional<std::vector<ESAuthResult>> results;
    ES_FIELDS(ESEvent_authorization_judgement, ES_FIELD(instigator), ES_FIELD(petitioner), ES_FIELD(return_code),
              ES_FIELD(result_count), ES_FIELD(results))
};

struct ESEvent_authorization_petition {
    ESProcess instigator;
    std::optional<ESProcess> petitioner;
    std::int64_t flags{};
    std::optional<std::vector<std::string>> rights;
    ES_FIELDS(ESEvent_authorization_petition, ES_FIELD(instigator), ES_FIELD(petitioner), ES_FIELD(flags),
              ES_FIELD(rights))
};

// ---- configuration profiles ----

struct ESEvent_profile_add {
    ESProcess instigator;
    bool is_update{};
    ESProfile profile;
    ES_FIELDS(ESEvent_profile_add, ES_FIELD(instigator), ES_FIELD(is_update), ES_FIELD(profile))
};

struct ESEvent_profile_remove {
    ESProcess instigator;
    ESProfile profile;
    ES_FIELDS(ESEvent_profile_remove, ES_FIELD(instigator), ES_FIELD(profile))
};

// ---- su and sudo ----

// Counts are held beside their arrays as given; they need not agree.
struct ESEvent_su {
    bool success{};
    std::optional<std::string> failure_message;
    std::int64_t from_uid{};
    std::string from_username;
    std::optional<std::int64_t> to_uid;
    std::optional<std::string> to_username, shell;
    std::int64_t argc{};
    std::optional<std::vector<std::string>> argv;
    std::int64_t env_count{};
    std::optional<std::vector<std::string>> env;
    ES_FIELDS(ESEvent_su, ES_FIELD(success), ES_FIELD(failure_message), ES_FIELD(from_uid), ES_FIELD(from_username),
              ES_FIELD(to_uid), ES_FIELD(to_username), ES_FIELD(shell), ES_FIELD(argc), ES_FIELD(argv),
              ES_FIELD(env_count), ES_FIELD(env))
};

struct ESEvent_sudo {
    bool success{};
    std::optional<ESSudoRejectInfo> reject_info;
    std::optional<std::int64_t> from_uid;
    std::optional<std::string> from_username;
    std::optional<std::int64_t> to_uid;
    std::optional<std::string> to_username, command;
    ES_FIELDS(ESEvent_sudo, ES_FIELD(success), ES_FIELD(reject_info), ES_FIELD(from_uid), ES_FIELD(from_username),
              ES_FIELD(to_uid), ES_FIELD(to_username), ES_FIELD(command))
};

}  // namespace es
