#include "SystemExtensions.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <thread>

namespace {

using namespace sysext;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

class Recorder : public OSSystemExtensionRequestDelegate {
public:
    OSSystemExtensionReplacementAction answer = OSSystemExtensionReplacementAction::replace;

    OSSystemExtensionReplacementAction actionForReplacingExtension(OSSystemExtensionRequest&,
                                                                   const OSSystemExtensionProperties& existing,
                                                                   const OSSystemExtensionProperties& replacement) override {
        add("replace " + existing.bundleShortVersion + " with " + replacement.bundleShortVersion);
        return answer;
    }
    void requestNeedsUserApproval(OSSystemExtensionRequest&) override { add("needs approval"); }
    void didFinishWithResult(OSSystemExtensionRequest&, OSSystemExtensionRequestResult result) override {
        add("finished " + std::to_string(std::int64_t(result)));
    }
    void didFailWithError(OSSystemExtensionRequest&, const Error& error) override {
        add("failed " + std::to_string(error.code));
    }

    // Waits for the request's final word and returns everything said since the last call.
    std::vector<std::string> outcome() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 60s, [&] {
            return !events_.empty() && (events_.back().rfind("finished", 0) == 0 || events_.back().rfind("failed", 0) == 0);
        });
        return std::exchange(events_, {});
    }

private:
    void add(std::string e) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

class SystemExtensionsTest : public ::testing::Test {
protected:
    static fs::path makeTempDir() {
        char tmpl[] = "/tmp/qm-sysext-XXXXXX";
        return ::mkdtemp(tmpl);
    }

    void SetUp() override {
        fs::create_directories(dir / "Extensions");
        ::setenv("QUILLMARK_XPC_DIR", (dir / "xpc").c_str(), 1);
        ::setenv("QUILLMARK_FILTER_CONFIG", (dir / "filter.plist").c_str(), 1);  // none: the filter stays off
    }
    void TearDown() override {
        if (auto running = manager.runningExtension(identifier)) {
            ::kill(running->pid, SIGTERM);
            for (int i = 0; i < 500 && ::kill(running->pid, 0) == 0; ++i) std::this_thread::sleep_for(10ms);
        }
        fs::remove_all(dir);
    }

    // An extension bundle holding a copy of the built flowspur.
    void writeExtension(const std::string& version) {
        fs::path root = dir / "Extensions" / "Test.systemextension";
        fs::create_directories(root / "Contents" / "MacOS");
        std::ofstream(root / "Contents" / "Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            << "<key>CFBundleIdentifier</key><string>" << identifier << "</string>"
            << "<key>CFBundleExecutable</key><string>flowspur</string>"
            << "<key>CFBundleVersion</key><string>" << version << "</string>"
            << "<key>CFBundleShortVersionString</key><string>" << version << "</string>"
            << "<key>NetworkExtension</key><dict><key>NEMachServiceName</key><string>" << identifier
            << ".xpc</string></dict></dict></plist>\n";
        const char* build = std::getenv("QM_BUILD_DIR");
        ASSERT_TRUE(build);
        // Copied beside and renamed into place: the running copy cannot be written over.
        fs::path exe = root / "Contents" / "MacOS" / "flowspur";
        fs::copy_file(fs::path(build) / "Quillmark/Contents/Library/SystemExtensions/Flowspur.systemextension"
                                        "/Contents/MacOS/flowspur",
                      exe.string() + ".new", fs::copy_options::overwrite_existing);
        fs::rename(exe.string() + ".new", exe);
    }

    std::vector<std::string> activate() {
        auto request = OSSystemExtensionRequest::activationRequestForExtension(identifier, queue);
        request->setDelegate(delegate);
        manager.submitRequest(request);
        return delegate->outcome();
    }

    fs::path dir = makeTempDir();
    std::string identifier = "com.quillmark.test.ext" + std::to_string(::getpid());
    OSSystemExtensionManager manager{dir / "Extensions", dir / "state"};
    dispatch::DispatchQueue queue{"test.sysext"};
    std::shared_ptr<Recorder> delegate = std::make_shared<Recorder>();
};

TEST_F(SystemExtensionsTest, UnknownExtensionFails) {
    EXPECT_EQ(activate(), std::vector<std::string>{"failed 4"});
}

TEST_F(SystemExtensionsTest, StartsKeepsAndReplacesTheExtension) {
    if (::geteuid() != 0) GTEST_SKIP() << "starting an extension without root goes through pkexec, which asks a user";
    writeExtension("1.0");
    EXPECT_EQ(activate(), std::vector<std::string>{"finished 0"});
    auto first = manager.runningExtension(identifier);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->properties.bundleShortVersion, "1.0");
    // It is handed this process's filter configuration file.
    std::ifstream cmdline("/proc/" + std::to_string(first->pid) + "/cmdline");
    std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    EXPECT_NE(args.find(std::string("--filter-configuration") + '\0' + (dir / "filter.plist").string()),
              std::string::npos);

    // The same version again: kept.
    EXPECT_EQ(activate(), std::vector<std::string>{"finished 0"});
    EXPECT_EQ(manager.runningExtension(identifier)->pid, first->pid);

    // Another version: the delegate decides.
    writeExtension("2.0");
    delegate->answer = OSSystemExtensionReplacementAction::cancel;
    EXPECT_EQ(activate(), (std::vector<std::string>{"replace 1.0 with 2.0", "failed 11"}));
    EXPECT_EQ(manager.runningExtension(identifier)->pid, first->pid);

    delegate->answer = OSSystemExtensionReplacementAction::replace;
    EXPECT_EQ(activate(), (std::vector<std::string>{"replace 1.0 with 2.0", "finished 0"}));
    auto second = manager.runningExtension(identifier);
    ASSERT_TRUE(second);
    EXPECT_NE(second->pid, first->pid);
    EXPECT_NE(::kill(first->pid, 0), 0);
    EXPECT_EQ(second->properties.bundleShortVersion, "2.0");
}

}  // namespace
