#pragma once
// One Endpoint Security message: one line of eslogger output.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "CoreRecords.h"
#include "DecodeFailure.h"
#include "ESEvent.h"
#include "EventType.h"
#include "Fields.h"

namespace es {

struct ESMessage {
    struct action_inner {
        std::optional<ESResult> result;
        ES_FIELDS(action_inner, ES_FIELD(result))
    };

    std::int64_t schema_version{}, version{};
    CompactString time;
    std::int64_t mach_time{};
    std::optional<ESThread> thread;
    std::int64_t seq_num{}, global_seq_num{};
    ActionType action_type{};
    action_inner action;
    std::optional<std::int64_t> deadline;
    EventType event_type{};
    ESEvent event;
    ESProcess process;
    ES_FIELDS(ESMessage, ES_FIELD(schema_version), ES_FIELD(version), ES_FIELD(time), ES_FIELD(mach_time),
              ES_FIELD(thread), ES_FIELD(seq_num), ES_FIELD(global_seq_num), ES_FIELD(action_type),
              ES_FIELD(action), ES_FIELD(deadline), ES_FIELD(event_type), ES_FIELD(event), ES_FIELD(process))
};

// Decodes one JSON text (one line) as a message.
Decoded<ESMessage> decodeMessage(std::string_view text);

// Encodes a message as JSON: compact (one line, for JSON Lines) or indented.
std::string encodeMessage(const ESMessage& message, bool pretty = false);
// Appends the compact encoding to out (no newline), for writers of many lines.
void appendMessage(std::string& out, const ESMessage& message);

}  // namespace es
