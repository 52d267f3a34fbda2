#pragma once
// Small builders of messages and items for the store's tests.

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <string>

#include "ESMessage.h"
#include "EventAnnotator.h"
#include "EventItem.h"
#include "Settings.h"

namespace storetest {

inline es::ESFile file(std::string path) {
    es::ESFile f;
    f.path = std::move(path);
    return f;
}

struct Ids {
    std::int64_t pid = 100, ppid = 1, rpid = 1, euid = 501, session = 7;
};

inline es::ESProcess process(std::string path, Ids ids = {}, bool platform = false) {
    es::ESProcess p;
    p.executable = file(std::move(path));
    p.audit_token.pid = ids.pid;
    p.audit_token.euid = ids.euid;
    p.parent_audit_token.pid = ids.ppid;
    p.responsible_audit_token.pid = ids.rpid;
    p.ppid = ids.ppid;
    p.session_id = ids.session;
    p.is_platform_binary = platform;
    return p;
}

inline es::ESMessage message(es::ESEvent event, es::ESProcess actor, std::int64_t seq = 1,
                             std::string time = "2024-01-01T00:00:00.000Z",
                             es::EventType type = es::EventType::ES_EVENT_TYPE_NOTIFY_OPEN) {
    es::ESMessage m;
    m.schema_version = 1;
    m.version = 7;
    m.time = std::move(time);
    m.seq_num = seq;
    m.global_seq_num = seq;
    m.action_type = es::ActionType::ES_ACTION_TYPE_NOTIFY;
    m.event_type = type;
    m.event = std::move(event);
    m.process = std::move(actor);
    return m;
}

inline es::ESEvent openOf(std::string path) {
    es::ESEvent_open e;
    e.file = file(std::move(path));
    return e;
}

// An annotator over empty settings marks nothing.
inline const qm::EventAnnotator& quietAnnotator() {
    static qm::InMemorySettings settings;
    static qm::EventAnnotator annotator(settings);
    return annotator;
}

inline qm::EventItemPtr item(es::ESMessage m, const qm::EventAnnotator& annotator = quietAnnotator()) {
    return std::make_shared<qm::EventItem>(std::move(m), annotator);
}

// Waits until the condition holds; false only when it never did within a generous
// bound (a hang guard, not a timing check).
inline bool eventually(const std::function<bool()>& condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace storetest
