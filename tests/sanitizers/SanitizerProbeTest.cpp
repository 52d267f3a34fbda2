// A ThreadSanitizer build with tests/tsan.supp in force still reports a race in which
// Qt copies our memory while our thread writes it: the suppressions name Qt's own
// functions, not every memory call Qt makes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "CommandOutput.h"

namespace {

TEST(ThreadSanitizer, ReportsQtCopyingOurBufferWhileWeWriteIt) {
#ifndef __SANITIZE_THREAD__
    GTEST_SKIP() << "only a ThreadSanitizer build watches for races";
#else
    const char* options = std::getenv("TSAN_OPTIONS");
    ASSERT_NE(options, nullptr);
    ASSERT_NE(std::string(options).find("tsan.supp"), std::string::npos) << options;
    const auto [output, status] = commandout::run(QT_COPY_RACE_PROBE " 2>&1");
    ASSERT_NE(status, -1);
    EXPECT_NE(output.find("WARNING: ThreadSanitizer: data race"), std::string::npos) << output;
    EXPECT_NE(output.find("QByteArray::QByteArray"), std::string::npos) << output;
#endif
}

}  // namespace
