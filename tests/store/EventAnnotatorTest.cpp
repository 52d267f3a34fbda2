#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "DefaultSettings.h"
#include "EventAnnotator.h"
#include "StoreTestSupport.h"

using namespace storetest;
using qm::EventAnnotation;
using qm::SettingList;

namespace {

constexpr auto PATH = EventAnnotation::PRIVILEGED_PATH;
constexpr auto USER = EventAnnotation::PRIVILEGED_USER;
constexpr auto QUARANTINE = EventAnnotation::QUARANTINE_PATH;

class Annotator : public ::testing::Test {
protected:
    Annotator() { qm::registerDefaultSettings(settings); }

    EventAnnotation marks(es::ESEvent event, es::ESProcess actor = process("/bin/user-tool")) {
        return item(message(std::move(event), std::move(actor)), annotator)->annotations();
    }

    qm::InMemorySettings settings;
    qm::EventAnnotator annotator{settings};
};

es::ESEvent execOf(const std::string& path, std::int64_t euid) {
    es::ESEvent_exec e;
    e.target = process(path, {.euid = euid});
    e.args = std::vector<std::string>{path};
    return e;
}

template <class T>
es::ESEvent extattr(std::string name) {
    T e;
    e.target = file("/Users/a/Downloads/app.dmg");
    e.extattr = std::move(name);
    return e;
}

es::ESEvent forkOf(const std::string& childPath) {
    es::ESEvent_fork e;
    e.child = process(childPath);
    return e;
}

}  // namespace

TEST(DefaultSettings, EveryKeyIsRegisteredInOrderWithItsDefault) {
    auto defaults = qm::defaultSettings();
    std::vector<std::string> keys;
    for (const auto& [k, v] : defaults) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"JSONFontName", "JSONFontSize", "tailInfoPopupEnabled",
                                              "annotatePathsEnabled", "annotatePaths", "annotateRootUserEnabled",
                                              "annotateQuarantinesEnabled", "annotateQuarantineExecEnabled",
                                              "stickyRowEnabled"}));
    qm::InMemorySettings s;
    s.setValue(qm::keys::JSONFontName, "Courier");
    qm::registerDefaultSettings(s);
    EXPECT_EQ(s.stringValue(qm::keys::JSONFontName), "Courier");  // the user's value stays
    EXPECT_EQ(s.doubleValue(qm::keys::JSONFontSize), 11.0);
    for (auto key : {qm::keys::tailInfoPopupEnabled, qm::keys::annotatePathsEnabled, qm::keys::annotateRootUserEnabled,
                     qm::keys::annotateQuarantinesEnabled, qm::keys::annotateQuarantineExecEnabled,
                     qm::keys::stickyRowEnabled})
        EXPECT_TRUE(s.boolValue(key)) << key;
    EXPECT_FALSE(s.value(qm::keys::tailUseBigF).has_value());

    const auto& paths = qm::defaultAnnotatePaths();
    ASSERT_EQ(paths.size(), 28u);
    EXPECT_EQ(paths[8].rfind("/var/at/", 0), 0u);
    EXPECT_EQ(paths[15].rfind("/etc/pro", 0), 0u);
    EXPECT_NE(paths[15], paths[16]);
    EXPECT_EQ(paths[18].rfind(".bash_lo", 0), 0u);
    EXPECT_EQ(paths[19].rfind(".bash_lo", 0), 0u);
    EXPECT_NE(paths[18], paths[19]);
    EXPECT_EQ(s.listValue(qm::keys::annotatePaths)->size(), 28u);
}

TEST_F(Annotator, RulesAndTheirEdges) {
    es::ESEvent_getextattr dummy;
    struct Case {
        const char* what;
        es::ESEvent event;
        es::ESProcess actor;
        EventAnnotation expected;
    };
    const Case cases[] = {
        {"sudo run as root", execOf("/usr/bin/sudo", 0), process("/bin/zsh"), PATH | USER},
        {"plain exec", execOf("/bin/ls", 501), process("/bin/zsh"), {}},
        {"fork: only the process path counts", forkOf("/usr/bin/sudo"), process("/bin/zsh"), PATH},
        {"fork of a plain program opened nothing", forkOf("/bin/ls"), process("/usr/bin/sudo"), {}},
        {"open of a launch daemon", openOf("/Library/LaunchDaemons/x.plist"), process("/bin/cp"), PATH},
        {"actor path alone", openOf("/tmp/x"), process("/Library/PrivilegedHelperTools/helper"), PATH},
        {"rc literal asterisk", openOf("/etc/rc.*"), process("/bin/cat"), PATH},
        {"rc without asterisk", openOf("/etc/rc.common"), process("/bin/cat"), {}},
        {"quarantine set", extattr<es::ESEvent_setextattr>("com.apple.quarantine"), process("/bin/xattr"), QUARANTINE},
        {"quarantine removed", extattr<es::ESEvent_deleteextattr>("com.apple.quarantine"), process("/bin/xattr"), QUARANTINE},
        {"quarantine read", extattr<es::ESEvent_getextattr>("com.apple.quarantine"), process("/bin/xattr"), {}},
        {"other attribute set", extattr<es::ESEvent_setextattr>("com.apple.FinderInfo"), process("/bin/xattr"), {}},
        {"quarantine is case-sensitive", extattr<es::ESEvent_setextattr>("COM.APPLE.QUARANTINE"), process("/bin/xattr"), {}},
    };
    for (const auto& c : cases) EXPECT_EQ(marks(c.event, c.actor), c.expected) << c.what;
}

TEST_F(Annotator, SwitchesApplyToEventsThatArriveAfterwards) {
    auto before = item(message(execOf("/usr/bin/sudo", 0), process("/bin/zsh")), annotator);
    settings.setValue(qm::keys::annotatePathsEnabled, false);
    settings.setValue(qm::keys::annotateRootUserEnabled, false);
    EXPECT_EQ(marks(execOf("/usr/bin/sudo", 0)), EventAnnotation());
    EXPECT_EQ(before->annotations(), PATH | USER);  // never re-annotated

    settings.setValue(qm::keys::annotateQuarantinesEnabled, false);
    EXPECT_EQ(marks(extattr<es::ESEvent_setextattr>("com.apple.quarantine")), EventAnnotation());
}

TEST_F(Annotator, QuarantineExecSwitchHasNoEffect) {
    for (bool on : {true, false}) {
        settings.setValue(qm::keys::annotateQuarantineExecEnabled, on);
        EXPECT_EQ(marks(extattr<es::ESEvent_setextattr>("com.apple.quarantine")), QUARANTINE);
        EXPECT_EQ(marks(execOf("/Users/a/Downloads/app", 501)), EventAnnotation());
    }
}

TEST_F(Annotator, PrivilegedPathsFollowTheSettings) {
    settings.setValue(qm::keys::annotatePaths, SettingList{"/opt/watched/", "/opt/watched/"});
    EXPECT_EQ(*annotator.privilegedPaths(), (qm::EventAnnotator::PathList{"/opt/watched/"}));
    EXPECT_EQ(marks(openOf("/opt/watched/f")), PATH);
    EXPECT_EQ(marks(openOf("/Library/LaunchDaemons/x.plist")), EventAnnotation());

    struct Case {
        const char* what;
        std::optional<qm::SettingValue> stored;
    };
    const Case unusable[] = {
        {"one number among texts", SettingList{"/opt/watched/", 5}},
        {"not a list", qm::SettingValue("/opt/watched/")},
        {"empty list", SettingList{}},
        {"only an empty text", SettingList{""}},
    };
    for (const auto& c : unusable) {
        settings.setValue(qm::keys::annotatePaths, *c.stored);
        EXPECT_TRUE(annotator.privilegedPaths()->empty()) << c.what;
        EXPECT_EQ(marks(openOf("/opt/watched/f")), EventAnnotation()) << c.what;
    }
    // A program's path is judged once per list: a new list judges it again.
    for (const char* fragment : {"/opt/tool/", "/elsewhere/", "/opt/tool/"}) {
        settings.setValue(qm::keys::annotatePaths, SettingList{fragment});
        const bool expected = std::string_view(fragment) == "/opt/tool/";
        EXPECT_EQ(marks(execOf("/opt/tool/run", 501)), expected ? PATH : EventAnnotation()) << fragment;
        EXPECT_EQ(marks(execOf("/opt/tool/run", 501)), expected ? PATH : EventAnnotation()) << fragment;
    }
    settings.removeValue(qm::keys::annotatePaths);  // back to the registered list
    EXPECT_EQ(annotator.privilegedPaths()->size(), 28u);
}

TEST(AnnotatorConcurrency, PathsAreReplacedWholeWhileEventsAreAnnotated) {
    qm::InMemorySettings settings;
    qm::registerDefaultSettings(settings);
    qm::EventAnnotator annotator(settings);
    const SettingList lists[] = {SettingList{"/a/"}, SettingList{"/b/", "/c/"}};
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 300; ++i) settings.setValue(qm::keys::annotatePaths, lists[i % 2]);
        done = true;
    });
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&] {
            while (!done) {
                auto paths = annotator.privilegedPaths();
                EXPECT_TRUE(paths->size() == 1 || paths->size() == 2 || paths->size() == 28);
                item(message(openOf("/b/x"), process("/bin/t")), annotator);
            }
        });
    writer.join();
    for (auto& r : readers) r.join();
    EXPECT_EQ(*annotator.privilegedPaths(), (qm::EventAnnotator::PathList{"/b/", "/c/"}));
}

TEST(AnnotatorConcurrency, SharedAnnotatorIsCreatedOnceUnderConcurrentFirstUse) {
    std::vector<std::thread> threads;
    std::vector<const qm::EventAnnotator*> seen(8);
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] {
            auto it = std::make_shared<qm::EventItem>(message(openOf("/tmp/x"), process("/bin/t")));
            (void)it;
            seen[i] = &qm::EventAnnotator::shared();
        });
    for (auto& t : threads) t.join();
    for (auto* a : seen) EXPECT_EQ(a, seen[0]);
}
