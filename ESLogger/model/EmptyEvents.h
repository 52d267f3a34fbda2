#pragma once
// The two payloads without fields: the event name alone tells what happened.

namespace es {

struct ESEvent_settime {};
struct ESEvent_cs_invalidated {};

}  // namespace es
