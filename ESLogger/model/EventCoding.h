#pragma once
// JSON coding of the event sum type, the event types and the two payloads
// without fields; include after Coding.h where messages are decoded.

#include "Coding.h"
#include "ESEvent.h"
#include "ESMessage.h"
#include "EventType.h"

namespace es {

// An object whose first event key selects the case; other members are ignored.
template <>
struct Coding<ESEvent> {
    static bool decode(JSONValue v, ESEvent& out, DecodeContext& ctx);
    static bool fast(FastValue v, ESEvent& out);
    static void encode(JSONWriter& w, const ESEvent& e);
};

// The payloads without fields: decoding ignores whatever value stands under the
// event key (null, scalars and arrays included) and never fails; encoding always
// writes an empty object.
template <class T>
struct EmptyPayloadCoding {
    static bool decode(JSONValue, T& out, DecodeContext&) {
        out = T{};
        return true;
    }
    // Whatever value it is, it must still be well-formed.
    static bool fast(FastValue v, T& out) {
        out = T{};
        return skipValue(v);
    }
    static void encode(JSONWriter& w, const T&) {
        w.beginObject();
        w.endObject();
    }
};

template <>
struct Coding<ESEvent_settime> : EmptyPayloadCoding<ESEvent_settime> {};
template <>
struct Coding<ESEvent_cs_invalidated> : EmptyPayloadCoding<ESEvent_cs_invalidated> {};

}  // namespace es
