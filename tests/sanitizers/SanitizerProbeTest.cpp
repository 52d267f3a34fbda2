// A ThreadSanitizer build with tests/tsan.supp in force still reports a race in which
// Qt copies our memory while our thread writes it: the suppressions name Qt's own
// functions, not every memory call Qt makes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

TEST(ThreadSanitizer, ReportsQtCopyingOurBufferWhileWeWriteIt) {
#ifndef __SANITIZE_THREAD__
    GTEST_SKIP() << "only a ThreadSanitizer build watches for races";
#else
    const char* options = std::getenv("TSAN_OPTIONS");
    ASSERT_NE(options, nullptr);
    ASSERT_NE(std::string(options).find("tsan.supp"), std::string::npos) << options;
    std::FILE* probe = ::popen(QT_COPY_RACE_PROBE " 2>&1", "r");
    ASSERT_NE(probe, nullptr);
    std::string output;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, probe)) > 0;) output.append(chunk, n);
    ::pclose(probe);
    EXPECT_NE(output.find("WARNING: ThreadSanitizer: data race"), std::string::npos) << output;
    EXPECT_NE(output.find("QByteArray::QByteArray"), std::string::npos) << output;
#endif
}

}  // namespace
