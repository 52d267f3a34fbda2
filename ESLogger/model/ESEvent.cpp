#include "ESMessage.h"
#include "EventCoding.h"

namespace es {

namespace {

using CaseDecoder = bool (*)(JSONValue, ESEvent&, DecodeContext&);
using FastCaseDecoder = bool (*)(FastValue, ESEvent&);

template <std::size_t I>
bool decodeCase(JSONValue v, ESEvent& e, DecodeContext& ctx) {
    return decodeAt(v, eventKeys[I], e.emplace<I>(), ctx);
}

template <std::size_t I>
bool fastCase(FastValue v, ESEvent& e) {
    return Coding<ESEvent::PayloadAt<I>>::fast(v, e.emplace<I>());
}

// Per-case copy, destruction and default payload.
struct CaseOps {
    void* (*copy)(const void*);
    void (*destroy)(void*);
    const void* (*defaultPayload)();
};

template <std::size_t I>
constexpr CaseOps caseOps{
    [](const void* p) -> void* { return new ESEvent::PayloadAt<I>(*static_cast<const ESEvent::PayloadAt<I>*>(p)); },
    [](void* p) { delete static_cast<ESEvent::PayloadAt<I>*>(p); },
    []() -> const void* {
        static const ESEvent::PayloadAt<I> value{};
        return &value;
    },
};

constexpr auto ops = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<CaseOps, sizeof...(I)>{caseOps<I>...};
}(std::make_index_sequence<ESEvent::caseCount>{});

constexpr auto caseDecoders = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<CaseDecoder, sizeof...(I)>{&decodeCase<I>...};
}(std::make_index_sequence<ESEvent::caseCount>{});

constexpr auto fastCaseDecoders = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<FastCaseDecoder, sizeof...(I)>{&fastCase<I>...};
}(std::make_index_sequence<ESEvent::caseCount>{});

constexpr KeyIndex<ESEvent::caseCount> eventKeyIndex{eventKeys};

}  // namespace

ESEvent::ESEvent(const ESEvent& o) : tag_(o.tag_), payload_(o.payload_ ? ops[o.tag_].copy(o.payload_) : nullptr) {}

ESEvent& ESEvent::operator=(const ESEvent& o) {
    if (this != &o) *this = ESEvent(o);
    return *this;
}

ESEvent& ESEvent::operator=(ESEvent&& o) noexcept {
    if (this != &o) {
        reset();
        tag_ = o.tag_;
        payload_ = o.payload_;
        o.payload_ = nullptr;
    }
    return *this;
}

void ESEvent::reset() {
    if (payload_) ops[tag_].destroy(payload_);
    payload_ = nullptr;
}

const void* ESEvent::payload() const { return payload_ ? payload_ : ops[tag_].defaultPayload(); }

std::optional<std::size_t> eventTagOfKey(std::string_view key) {
    std::size_t tag = eventKeyIndex.find(key);
    if (tag == eventKeyIndex.npos) return std::nullopt;
    return tag;
}

bool Coding<ESEvent>::decode(JSONValue v, ESEvent& out, DecodeContext& ctx) {
    if (v.type() != simdjson::dom::element_type::OBJECT) return ctx.failType(v, "ESEvent");
    for (auto member : simdjson::dom::object(v)) {
        if (auto tag = eventTagOfKey(member.key)) return caseDecoders[*tag](member.value, out, ctx);
    }
    // An event this model does not know (or none at all): a complete line that
    // cannot be decoded, reported as a missing key rather than kept as a fragment.
    return ctx.fail(DecodeFailure::Kind::missingKey, "event key", "The event object holds no known event key.");
}

// As decode: the first member under an event key is the event; every other member
// is checked and skipped.
bool Coding<ESEvent>::fast(FastValue v, ESEvent& out) {
    simdjson::ondemand::object obj;
    if (v.get_object().get(obj) != simdjson::SUCCESS) return false;
    bool decoded = false;
    for (auto member : obj) {
        simdjson::ondemand::field f;
        if (std::move(member).get(f) != simdjson::SUCCESS) return false;
        const char* raw = f.key().raw();
        std::size_t n = rawKeyLength(raw);
        if (n == escapedKey) return false;
        std::size_t tag = decoded ? eventKeyIndex.npos : eventKeyIndex.findPadded(raw, n);
        if (tag != eventKeyIndex.npos) {
            if (!fastCaseDecoders[tag](f.value(), out)) return false;
            decoded = true;
        } else if (!skipValue(f.value())) {
            return false;
        }
    }
    return decoded;
}

void Coding<ESEvent>::encode(JSONWriter& w, const ESEvent& e) {
    w.beginObject();
    w.key(e.key());
    e.visit([&](const auto& payload) { Coding<std::decay_t<decltype(payload)>>::encode(w, payload); });
    w.endObject();
}

Decoded<ESMessage> decodeMessage(std::string_view text) { return decodeJSON<ESMessage>(text); }

std::string encodeMessage(const ESMessage& message, bool pretty) { return encodeJSON(message, pretty); }

void appendMessage(std::string& out, const ESMessage& message) {
    JSONWriter w;
    Coding<ESMessage>::encode(w, message);
    out += w.text();
}

}  // namespace es
