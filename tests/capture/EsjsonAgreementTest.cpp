// esjson and the file source cut a file into the same pieces: on a file with carriage
// returns, CRLF, vertical tabs, form feeds and empty lines they give the same events and
// the same errors, with either reader of the file source.
#include <gtest/gtest.h>

#include "CaptureTestSupport.h"
#include "ESLoggerFile.h"
#include "Shell.h"

using namespace capturetest;
using Error = es::ESLogger::Error;

namespace {

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// esjson's line for an error the file source reports.
std::string esjsonLine(const Error& error) {
    return error.kind() == Error::Kind::jsonMissingKey ? "error missingKey " + error.payload()
                                                       : "error wrongType " + error.payload();
}

TEST(EsjsonAgreement, SameEventsAndErrorsAsTheFileSource) {
    const auto l = linesWithSequence({1, 2, 3, 4, 5, 6, 7, 8});
    const std::string missingKey = replaced(l[6], "\"global_seq_num\":", "\"global_seq_nom\":");
    const std::string wrongType = replaced(l[7], "\"global_seq_num\":8", "\"global_seq_num\":\"8\"");
    const std::string content = l[0] + "\r" + l[1] + "\r\n" + "\n" + l[2] + "\v" + l[3] + "\f\f" + missingKey +
                                "\r\n\r\n" + l[4] + "\n\n" + wrongType + "\v\n" + l[5];  // no final line feed
    TempDir dir;
    const auto path = dir.write("mixed.jsonl", content);

    const std::string output = subprocess::Shell({"/bin/sh", "-c", std::string("'") + ESJSON_PATH + "' < '" +
                                                                       path.string() + "'"})
                                   .execText();
    std::vector<std::string> esjson;
    for (std::size_t start = 0, end; (end = output.find('\n', start)) != std::string::npos; start = end + 1)
        esjson.push_back(output.substr(start, end - start));

    for (unsigned threads : {1u, 4u}) {
        SCOPED_TRACE(threads);
        std::vector<std::string> source;
        es::ESLoggerFile file(
            path, [&](es::ESMessage message) { source.push_back(es::encodeMessage(message)); },
            [&](const Error& error) { source.push_back(esjsonLine(error)); }, Level::info);
        file.setDecodeThreads(threads);
        file.start();
        EXPECT_EQ(source, esjson);
        EXPECT_EQ(file.eventsDropped(), 2);
    }
    ASSERT_EQ(esjson.size(), 8u);
    EXPECT_EQ(esjson[4], "error missingKey global_seq_num");
}

}  // namespace
