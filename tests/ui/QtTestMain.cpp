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
        result = RUN_ALL_TESTS();
    }
    std::error_code ec;
    std::filesystem::remove_all(network, ec);
    return result;
}
