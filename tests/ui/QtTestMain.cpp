// Runs the GoogleTest cases of a user-interface test program inside a
// QApplication on Qt's offscreen platform, or, for a program built with
// QM_WINDOW_MANAGER, on a virtual X server with a window manager.
#include <gtest/gtest.h>

#include <QApplication>

#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "EventArena.h"
#include "SourceControl.h"

#ifdef QM_WINDOW_MANAGER
#include "WindowManagerDisplay.h"
#endif

#ifdef __SANITIZE_THREAD__
#include <QThreadPool>

#include <pthread.h>

#include <latch>
#include <memory>

extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();

namespace {

// Qt's global thread pool (Qt's Gui converts and scales images on it) hands its tasks
// and their buffers between its threads under futex locks that ThreadSanitizer cannot
// see, in functions with no symbols to suppress by name. Every pooled thread is started
// at once, kept, and left out of the race check for the rest of its life; none of our
// code runs there. The check resumes only as the thread ends, in a destructor of a
// thread key made after Qt's own, so after all of Qt's code on that thread (the
// sanitizer requires it to resume before the thread is gone).
void leaveQtThreadPoolUnchecked() {
    static pthread_key_t resumeAtExit;
    if (::pthread_key_create(&resumeAtExit, [](void*) { __tsan_ignore_thread_end(); }) != 0) return;
    QThreadPool& pool = *QThreadPool::globalInstance();
    pool.setExpiryTimeout(-1);
    const int threads = pool.maxThreadCount();
    // Each task holds its thread until all have started, so that every thread runs one.
    // The key is a constant, not a capture: the check stops before the task reads
    // anything, as Qt's hand-over of the task is one the sanitizer cannot see.
    auto started = std::make_shared<std::latch>(threads + 1);
    for (int i = 0; i < threads; ++i)
        pool.start([started] {
            __tsan_ignore_thread_begin();
            ::pthread_setspecific(resumeAtExit, &resumeAtExit);
            started->arrive_and_wait();
        });
    started->arrive_and_wait();
}

}  // namespace
#endif

int main(int argc, char** argv) {
#ifdef QM_WINDOW_MANAGER
    // Windows framed by a real window manager; the tests skip, saying why, where none
    // can start. Listing the tests needs no display.
    std::optional<uitest::WindowManagerDisplay> x11;
    bool listing = false;
    for (int i = 1; i < argc; ++i) listing = listing || std::string_view(argv[i]) == "--gtest_list_tests";
    if (!listing) x11.emplace();
    if (x11 && x11->failure.empty()) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    } else {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        ::setenv("QM_NO_WINDOW_MANAGER", x11 ? x11->failure.c_str() : "listing only", 1);
    }
#elif defined(QM_OFFSCREEN_CONFIG)
    // A program that needs particular screens names the platform's configuration.
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" QM_OFFSCREEN_CONFIG);
#else
    qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    // The main window's network half reads the filter configuration and reaches the
    // XPC services of the machine; tests keep to a place of their own.
    const std::filesystem::path network =
        std::filesystem::temp_directory_path() / ("qm-uitest-" + std::to_string(::getpid()));
    ::setenv("QUILLMARK_FILTER_CONFIG", (network / "filter.plist").c_str(), 0);
    ::setenv("QUILLMARK_XPC_DIR", (network / "xpc").c_str(), 0);
    int result;
    {
        QApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
#ifdef __SANITIZE_THREAD__
        if (!GTEST_FLAG_GET(list_tests)) leaveQtThreadPoolUnchecked();
#endif
        result = RUN_ALL_TESTS();
    }
    // As the application does at its end: the sources' work and the freeing of the items
    // handed to be freed end before the statics do (and before the leak check looks).
    qm::SourceControl::waitForSourceWork();
    qm::waitForReleases();
    std::error_code ec;
    std::filesystem::remove_all(network, ec);
    return result;
}
