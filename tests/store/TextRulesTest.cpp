// Text that is not ASCII: program order after canonical composition, full
// upper-casing of an "Annotations" search, and one reading of decimal integers
// for port texts and numeric search terms.
#include <gtest/gtest.h>

#include <algorithm>

#include "DefaultSettings.h"
#include "EventFilters.h"
#include "EventSummary.h"
#include "StoreTestSupport.h"
#include "TextRules.h"

using namespace storetest;

namespace {

// "é" precomposed and as "e" with a combining acute accent; "Å" as the letter and
// as the angstrom sign (a singleton that composes to the letter).
const std::string ePre = "\u00e9", eDec = "e\u0301", aRing = "\u00c5", angstrom = "\u212b";

}  // namespace

TEST(TextRules, ProgramPathsSortAfterCanonicalComposition) {
    struct Case {
        std::vector<std::string> added;
        std::vector<std::string> sorted;
    };
    const Case cases[] = {
        // Both forms of "é" sort after "/f"; canonically equal paths stay two
        // programs, ordered by their bytes.
        {{"/f", "/" + eDec, "/" + ePre}, {"/f", "/" + eDec, "/" + ePre}},
        {{"/" + ePre, "/f", "/" + eDec, "/e"}, {"/e", "/f", "/" + eDec, "/" + ePre}},
        {{"/" + eDec + "x", "/" + ePre + "a"}, {"/" + ePre + "a", "/" + eDec + "x"}},
        {{"/" + angstrom, "/B", "/" + aRing + "a", "/Z"}, {"/B", "/Z", "/" + angstrom, "/" + aRing + "a"}},
        // ASCII paths in byte order.
        {{"/b", "/a", "/B"}, {"/B", "/a", "/b"}},
        // Invalid UTF-8 is ordered by its bytes.
        {{"/\xff", "/a", "/\xc3"}, {"/a", "/\xc3", "/\xff"}},
    };
    for (const auto& c : cases) {
        qm::EventFilters store;
        std::int64_t seq = 0;
        for (const auto& path : c.added) store.addEvent(item(message(openOf("/tmp/f"), process(path), ++seq)));
        EXPECT_EQ(store.sortedProgramPaths, c.sorted) << c.added.front();
        EXPECT_EQ(store.allPrograms.size(), c.added.size());
    }
}

TEST(TextRules, FullUpperCasing) {
    const std::pair<std::string, std::string> cases[] = {
        {"privileged_user", "PRIVILEGED_USER"},
        {"pr\u0131vileged_user", "PRIVILEGED_USER"},  // dotless i
        {"privileged_u\u017fer", "PRIVILEGED_USER"},  // long s
        {"stra\u00dfe", "STRASSE"},
        {"\ufb01le", "FILE"},                          // ligature fi
        {"\u01f0", "J\u030c"},                         // j with caron has no capital form
        {"\u1f80", "\u1f08\u0399"},                    // iota subscript
        {eDec, "\u00c9"},                              // composed
        {"\u0130", "\u0130"},                          // already capital
        {"\u00e7a \u0444", "\u00c7A \u0424"},
        {"ab\xff", "AB\xff"},                          // invalid UTF-8: ASCII letters only
    };
    for (const auto& [text, upper] : cases) EXPECT_EQ(qm::upperCased(text), upper) << text;
}

TEST(TextRules, AnnotationsSearchUpperCasesNonASCIILetters) {
    qm::InMemorySettings settings;
    qm::registerDefaultSettings(settings);
    qm::EventAnnotator annotator(settings);
    qm::EventFilters store;
    store.addEvent(item(message(openOf("/tmp/a"), process("/bin/a", {.euid = 0}), 1), annotator));
    store.addEvent(item(message(openOf("/tmp/b"), process("/bin/b", {.euid = 501}), 2), annotator));
    const std::pair<std::string, std::size_t> cases[] = {
        {"pr\u0131vileged_user", 1},
        {"PRIVILEGED_U\u017fER", 1},
        {"pr\u0130vileged_user", 2},  // dotted capital I is no I: names nothing, keeps all
        {"\uff50rivileged_user", 2},  // full-width p upper-cases to full-width P
    };
    store.searchCategory = "Annotations";
    for (const auto& [text, kept] : cases) {
        store.searchString = text;
        EXPECT_EQ(store.applySearch(store.allEvents).size(), kept) << text;
    }
}

// Port texts and numeric search terms read decimal integers the same way.
TEST(TextRules, DecimalIntegers) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> value;
        const char* label;  // the port text's label in a network flow's summary
    };
    const Case cases[] = {
        {"443", 443, "https"},
        {"+443", 443, "https"},
        {"0443", 443, "https"},
        {"-22", -22, "-22"},
        {"+0022", 22, "ssh"},
        {" 443", std::nullopt, " 443"},
        {"443 ", std::nullopt, "443 "},
        {"", std::nullopt, ""},
        {"+", std::nullopt, "+"},
        {"+-22", std::nullopt, "+-22"},
        {"--22", std::nullopt, "--22"},
        {"4_43", std::nullopt, "4_43"},
        {"\uff14\uff14\uff13", std::nullopt, "\uff14\uff14\uff13"},  // full-width digits
        {"9223372036854775808", std::nullopt, "9223372036854775808"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qm::parseDecimal(c.text), c.value) << c.text;

        es::ESEvent_networkflow flow;
        flow.flow_protocol = es::ESIPProtocol(6);
        flow.direction = "outbound";
        flow.local_address = "10.0.0.1", flow.local_port = c.text;
        auto summary = qm::eventSummary(*item(message(flow, process("/usr/bin/curl"))));
        EXPECT_EQ(summary.shortText, std::string("10.0.0.1:") + c.label + " -TCP-> null") << c.text;

        qm::EventFilters store;
        store.addEvent(item(message(openOf("/tmp/f"), process("/bin/a", {.pid = c.value.value_or(7)}), 1)));
        store.addEvent(item(message(openOf("/tmp/f"), process("/bin/b", {.pid = 8}), 2)));
        store.searchCategory = "PID";
        store.searchString = c.text;
        // A term that is no number leaves the list unchanged.
        EXPECT_EQ(store.applySearch(store.allEvents).size(), c.value ? 1u : 2u) << c.text;
    }
}

TEST(TextRules, FragmentSetFindsWhatFindFinds) {
    using Fragments = std::vector<std::string>;
    const Fragments launch{"/Library/LaunchDaemons/", "/Library/LaunchAgents/", "/Library/StartupItems", ".login"};
    struct Case {
        Fragments fragments;
        std::string text;
        bool found;
    };
    const Case cases[] = {
        {launch, "/Library/LaunchAgents/com.x.plist", true},
        {launch, "/Users/a/Library/LaunchAgents", false},     // a fragment cut short by the text's end
        {launch, "/Users/a/.login", true},                    // at the very end
        {launch, "/Library/StartupItem", false},
        {launch, "", false},
        {launch, "/", false},
        {{}, "/Library/LaunchAgents/", false},
        {{""}, "", true},                                     // an empty fragment is found everywhere
        {{"x"}, "abx", true},                                 // one byte, last
        {{"x", "/etc/"}, "/etc", false},
        {{"/e", "/etc/passwd"}, "/etc/pass", true},           // fragments that share their first two bytes
        {{"/etc/passwd", "/etz"}, "/etc/pass", false},
        {{"C)"}, "caf" + ePre, false},                        // shares its key with the bytes of "é"
        {{ePre}, "caf" + ePre, true},
        {{eDec}, "caf" + ePre, false},                        // bytes, not canonical equality
        {{"/rc.*"}, "/etc/rc.common", false},
    };
    for (const auto& c : cases) {
        const qm::FragmentSet set(c.fragments);
        const bool find = std::any_of(c.fragments.begin(), c.fragments.end(),
                                      [&](const std::string& f) { return c.text.find(f) != std::string::npos; });
        EXPECT_EQ(find, c.found) << c.text;  // the table itself agrees with find
        EXPECT_EQ(set.foundIn(c.text), c.found) << c.text;
        EXPECT_EQ(set.empty(), c.fragments.empty()) << c.text;
    }
}

// A fragment is found at every place of a text longer than one scan step, in either
// way of scanning (few first bytes, or many), and not when the text cuts it short.
TEST(TextRules, FragmentSetAtEveryPlace) {
    using Fragments = std::vector<std::string>;
    const Fragments fewFirsts{"/Library/LaunchAgents/", ".login", "/etc/rc.*"};
    const Fragments manyFirsts{"/Library/LaunchAgents/", ".login", "/etc/rc.*", "ab", "cd", "x"};
    for (const auto& fragments : {fewFirsts, manyFirsts}) {
        const qm::FragmentSet set(fragments);
        for (const auto& f : fragments) {
            for (std::size_t at = 0; at < 40; ++at) {
                const std::string filler(at, '_');
                EXPECT_TRUE(set.foundIn(filler + f + std::string(7, '_'))) << f << " at " << at;
                EXPECT_TRUE(set.foundIn(filler + f)) << f << " at the end after " << at;
                if (f.size() > 1) {
                    EXPECT_FALSE(set.foundIn(filler + f.substr(0, f.size() - 1))) << f << " cut at " << at;
                }
            }
        }
        EXPECT_FALSE(set.foundIn(std::string(100, '/') + std::string(100, '.'))) << fragments.size();
    }
}
