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

#ifdef QM_WINDOW_MANAGER
#include "WindowManagerDisplay.h"
#endif

#ifdef __SANITIZE_THREAD__
#include <QThreadPool>

#include <latch>
#include <memory>

extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();

namespace {

void nothing() {}

// Runs `before` and then `after` on every thread of Qt's global pool: as many tasks as
// the pool has threads, each holding its thread until all have started and this thread
// has arrived too. The latch orders this thread's starts before each task's `after`.
// Both steps are constants, not captures: `before` runs before the task reads anything,
// as Qt's hand-over of the task is one the sanitizer cannot see.
template <void (*before)(), void (*after)()>
void onEveryPooledThread() {
    QThreadPool& pool = *QThreadPool::globalInstance();
    const int threads = pool.maxThreadCount();
    auto started = std::make_shared<std::latch>(threads + 1);
    for (int i = 0; i < threads; ++i)
        pool.start([started] {
            before();
            started->arrive_and_wait();
            after();
        });
    started->arrive_and_wait();
}

// Qt's global thread pool (Qt's Gui converts and scales images on it) hands its tasks
// and their buffers between its threads under futex locks that ThreadSanitizer cannot
// see, in functions with no symbols to suppress by name. While this lives, every pooled
// thread is started, kept and left out of the race check; none of our code runs there.
// The check resumes before the threads end, which the sanitizer requires.
struct QtThreadPoolUnchecked {
    QtThreadPoolUnchecked() {
        QThreadPool::globalInstance()->setExpiryTimeout(-1);
        onEveryPooledThread<__tsan_ignore_thread_begin, nothing>();
    }
    ~QtThreadPoolUnchecked() { onEveryPooledThread<nothing, __tsan_ignore_thread_end>(); }
};

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
        std::optional<QtThreadPoolUnchecked> pool;
        if (!GTEST_FLAG_GET(list_tests)) pool.emplace();
#endif
        result = RUN_ALL_TESTS();
    }
    std::error_code ec;
    std::filesystem::remove_all(network, ec);
    return result;
}
