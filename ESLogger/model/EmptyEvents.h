#pragma once
// The two payloads without fields. The event name alone tells what happened, so
// decoding ignores whatever value stands under it (null, scalars and arrays
// included) and never fails, and encoding always writes an empty object.

#include "Coding.h"

namespace es {

struct ESEvent_settime {};
struct ESEvent_cs_invalidated {};

template <class T>
struct EmptyPayloadCoding {
    static bool decode(JSONValue, T& out, DecodeContext&) {
        out = T{};
        return true;
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
