#pragma once
// Payload records of the Open Directory events, the XPC connect event and the
// network-flow event. Every Open Directory payload begins with "instigator" and
// "error_code" and ends with "node_name" and the optional "db_path"; records of one
// shape code alike and differ only in their type, which the event key chooses.
// Names of error codes are in ODErrorNames.h.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CoreRecords.h"
#include "Enums.h"
#include "Fields.h"
#include "SecurityRecords.h"

namespace es {

// Group membership and password.

struct ESEvent_od_group_add {
    ESProcess instigator;
    std::int64_t error_code{};
    std::string group_name;
    ESODMemberID member;
    std::string node_name;
    std::optional<std::string> db_path;
    ES_FIELDS(ESEvent_od_group_add, ES_FIELD(instigator), ES_FIELD(error_code), ES_FIELD(group_name),
              ES_FIELD(member), ES_FIELD(node_name), ES_FIELD(db_path))
};

struct ESEvent_od_group_remove {
    ESProcess instigator;
    std::int64_t error_code{};
    std::string group_name;
    ESODMemberID member;
    std::string node_name;
    std::optional<std::string> db_path;
    ES_FIELDS(ESEvent_od_group_remove, ES_FIELD(instigator), ES_FIELD(error_code), ES_FIELD(group_name),
              ES_FIELD(member), ES_FIELD(node_name), ES_FIELD(db_path))
};

struct ESEvent_od_group_set {
    ESProcess instigator;
    std::int64_t error_code{};
    std::string group_name;
    ESODMemberIDArray members;
    std::string node_name;
    std::optional<std::string> db_path;
    ES_FIELDS(ESEvent_od_group_set, ES_FIELD(instigator), ES_FIELD(error_code), ES_FIELD(group_name),
              ES_FIELD(members), ES_FIELD(node_name), ES_FIELD(db_path))
};

// Carries the account's kind and name only, never a credential.
struct ESEvent_od_modify_password {
    ESProcess instigator;
    std::int64_t error_code{};
    ESODAccountType account_type{};
    std::string account_name;
    std::string node_name;
    std::optional<std::string> db_path;
    ES_FIELDS(ESEvent_od_modify_password, ES_FIELD(instigator), ES_FIELD(error_code), ES_FIELD(account_type),
              ES_FIELD(account_name), ES_FIELD(node_name), ES_FIELD(db_path))
};

// Attributes.

struct ESEvent_od_attribute_value_add {
    ESProcess instigator;
    std::int64_t error_code{};
    ESODRecordType record_type{};
    std::string record_name;
    std::string attribute_name;
    std::string attribute_value;
    std::string node_name;
    std::optional<std::string> db_path;
    ES_FIELDS(ESEvent_od_attribute_value_add, ES_FIELD(instigator), ES_FIELD(error_code), ES_FIELD(record_type),
              ES_FIELD(record_name), ES_FIELD(attribute_name), ES_FIELD(attribute_value), ES_FIELD(node_name),
              ES_FIELD(db_path))
};

struct ESEvent_od_attribute_value_remove {
    ESProcess instigator;
    std::int64_t error_code{};
    ESODRecordType record_type{};
    std::string record_name;
    std::string attribute_name;
    std::string attribute_value;
    std::string node_name;
    std::optional<std::string> db_path;
    ES_FIELDS(ESEvent_od_attribute_value_remove, ES_FIELD(instigator), ES_FIELD(error_code),
              ES_FIELD(record_type), ES_FIELD(record_name), ES_FIELD(attribute_name), ES_FIELD(attribute_value),
              ES_FIELD(node_name), ES_FIELD(db_path))
};

// An empty attribute_values list is present, distinct from an absent one.
struct ESEvent_od_attribute_set {
    ESProcess instigator;
    std::int64_t error_code{};
    ESODRecordType record_type{};
    std::string record_name;
    std::string attribute_name;
    std::optional<std::vector<std::string>> attribute_values;
    std::string node_name;
    std::optional<std::string> db_path;
    ES_FIELDS(ESEvent_od_attribute_set, ES_FIELD(instigator), ES_FIELD(error_code), ES_FIELD(record_type),
              ES_FIELD(record_name), ES_FIELD(attribute_name), ES_FIELD(attribute_values), ES_FIELD(node_name),
              ES_FIELD(db_path))
};

// Accounts: four user records keyed by "user_name", two group records by "group_name".

struct ESEvent_od_create_user {
    ESProcess instigator;
    std::int64_t error_code{};
    std::string user_name;
    std::string node_name;
    std::optional<std::string> db_path;
    ES_FIELDS(ESEvent_od_create_user, ES_FIELD(instigator), ES_FIELD(error_code), ES_FIELD(user_name),
              ES_FIELD(node_name), ES_FIELD(db_path))
};

struct ESEvent_od_delete_user {
    ESProcess instigator;
    std::int64_t error_code{};
    std::string user_name;
    std::string node_name;
    std::optional<std::string> db_path;
    ES_FIELDS(ESEvent_od_delete_user, ES_FIELD(instigator), ES_FIELD(error_code), ES_FIELD(user_name),
              ES_FIELD(node_name), ES_FIELD(db_path))
};

struct ESEvent_od_disable_user {
    ESProcess instigator;
    std::int64_t error_code{};
    std::string user_name;
    std::string node_name;
    std::optional<std::string> db_path;
    ES_FIELDS(ESEvent_od_disable_user, ES_FIELD(instigator), ES_FIELD(error_code), ES_FIELD(user_name),
              ES_FIELD(node_name), ES_FIELD(db_path))
};

struct ESEvent_od_enable_user {
    ESProcess instigator;
    std::int64_t error_code{};
    std::string user_name;
    std::string node_name;
    std::optional<std::string> db_path;
    ES_FIELDS(ESEvent_od_enable_user, ES_FIELD(instigator), ES_FIELD(error_code), ES_FIELD(user_name),
              ES_FIELD(node_name), ES_FIELD(db_path))
};

struct ESEvent_od_create_group {
    ESProcess instigator;
    std::int64_t error_code{};
    std::string group_name;
    std::string node_name;
    std::optional<std::string> db_path;
    ES_FIELDS(ESEvent_od_create_group, ES_FIELD(instigator), ES_FIELD(error_code), ES_FIELD(group_name),
              ES_FIELD(node_name), ES_FIELD(db_path))
};

struct ESEvent_od_delete_group {
    ESProcess instigator;
    std::int64_t error_code{};
    std::string group_name;
    std::string node_name;
    std::optional<std::string> db_path;
    ES_FIELDS(ESEvent_od_delete_group, ES_FIELD(instigator), ES_FIELD(error_code), ES_FIELD(group_name),
              ES_FIELD(node_name), ES_FIELD(db_path))
};

// XPC.

struct ESEvent_xpc_connect {
    std::string service_name;
    ESXPCDomainType service_domain_type = ESXPCDomainType::ES_XPC_DOMAIN_TYPE_SYSTEM;
    ES_FIELDS(ESEvent_xpc_connect, ES_FIELD(service_name), ES_FIELD(service_domain_type))
};

// Network flow, as written by the network-flow extension: ports and addresses are
// text; direction and uuid are free text to the reader.
struct ESEvent_networkflow {
    ESProcess instigator;
    std::optional<std::string> remote_hostname;
    std::optional<std::string> remote_address;
    std::optional<std::string> remote_port;
    std::optional<std::string> local_address;
    std::optional<std::string> local_port;
    ESIPProtocol flow_protocol{};
    ESSocketDomain flow_family{};
    ESSocketType flow_type = ESSocketType::SOCK_STREAM;
    std::string direction;
    std::optional<std::string> url;
    std::string uuid;
    ES_FIELDS(ESEvent_networkflow, ES_FIELD(instigator), ES_FIELD(remote_hostname), ES_FIELD(remote_address),
              ES_FIELD(remote_port), ES_FIELD(local_address), ES_FIELD(local_port), ES_FIELD(flow_protocol),
              ES_FIELD(flow_family), ES_FIELD(flow_type), ES_FIELD(direction), ES_FIELD(url), ES_FIELD(uuid))
};

}  // namespace es
