// Runs the GoogleTest cases of a user-interface test program inside a
// QApplication on Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>

#include <unistd.h>

#include <filesystem>
#include <string>

int main(int argc, char** argv) {
#ifdef QM_OFFSCREEN_CONFIG
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
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::error_code ec;
    std::filesystem::remove_all(network, ec);
    return result;
}
