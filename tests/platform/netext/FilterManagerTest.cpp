#include "FilterManager.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <future>

#include "ChildCost.h"
#include "DeepPropertyList.h"

namespace {

using namespace netext;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

class FilterManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qm-filter-XXXXXX";
        dir = ::mkdtemp(tmpl);
        file = dir / "conf" / "NEFilterConfiguration.plist";
    }
    void TearDown() override { fs::remove_all(dir); }

    static std::optional<Error> wait(const std::function<void(ErrorCompletion)>& call) {
        std::promise<std::optional<Error>> p;
        call([&](std::optional<Error> e) { p.set_value(std::move(e)); });
        return p.get_future().get();
    }

    fs::path dir, file;
};

TEST_F(FilterManagerTest, SavedConfigurationLoadsInAnotherManager) {
    NEFilterManager writer(file);
    EXPECT_FALSE(wait([&](auto done) { writer.loadFromPreferences(done); }));  // no file yet: empty
    EXPECT_FALSE(writer.isEnabled());
    EXPECT_FALSE(writer.providerConfiguration());

    writer.setProviderConfiguration(NEFilterProviderConfiguration{true, false});
    writer.setLocalizedDescription("Quillmark");
    writer.setEnabled(true);
    EXPECT_FALSE(wait([&](auto done) { writer.saveToPreferences(done); }));

    NEFilterManager reader(file);
    EXPECT_FALSE(reader.isEnabled());  // nothing is read before a load
    EXPECT_FALSE(wait([&](auto done) { reader.loadFromPreferences(done); }));
    EXPECT_TRUE(reader.isEnabled());
    EXPECT_EQ(reader.providerConfiguration(), (NEFilterProviderConfiguration{true, false}));
    EXPECT_EQ(reader.localizedDescription(), "Quillmark");
}

TEST_F(FilterManagerTest, InvalidAndUnreadableConfigurationsAreErrors) {
    NEFilterManager m(file);
    m.setEnabled(true);  // enabled without a provider configuration
    auto error = wait([&](auto done) { m.saveToPreferences(done); });
    ASSERT_TRUE(error);
    EXPECT_FALSE(fs::exists(file));

    fs::create_directories(file.parent_path());
    std::ofstream(file) << "not a property list";
    EXPECT_TRUE(wait([&](auto done) { m.loadFromPreferences(done); }));
}

// A file larger than a configuration can be, such as arrays nested 200,000 deep, is
// refused before it is parsed (the parser nests without limit).
TEST_F(FilterManagerTest, ConfigurationsLargerThanTheLimitAreRefusedUnparsed) {
    // A valid configuration exactly at the limit, through its description's length.
    FilterConfiguration valid{true, NEFilterProviderConfiguration{true, false}, ""};
    ASSERT_FALSE(valid.write(file));
    valid.localizedDescription = std::string(kMaxFilterConfigurationBytes - fs::file_size(file), 'q');
    ASSERT_FALSE(valid.write(file));
    ASSERT_EQ(fs::file_size(file), kMaxFilterConfigurationBytes);
    std::string error;
    auto read = FilterConfiguration::read(file, error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(read->localizedDescription, valid.localizedDescription);

    std::ifstream in(file, std::ios::binary);
    const std::string atLimit((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::pair<const char*, std::string> cases[] = {
        {"one byte past the limit", atLimit + "\n"},
        {"200,000 nested arrays, XML", plisttest::deepXMLPropertyList(200000)},
        {"200,000 nested arrays, binary", plisttest::deepBinaryPropertyList(200000)},
    };
    for (const auto& [what, bytes] : cases) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
        error.clear();
        EXPECT_FALSE(FilterConfiguration::read(file, error)) << what;
        EXPECT_EQ(error, "The filter configuration at " + file.string() + " is larger than 4096 bytes; it is not read.")
            << what;
        NEFilterManager manager(file);
        auto loaded = wait([&](auto done) { manager.loadFromPreferences(done); });
        ASSERT_TRUE(loaded) << what;
        EXPECT_EQ(loaded->localizedDescription, error) << what;
    }
}

// Whatever is at the path, reading it is refused with one line, at once, in little
// memory: binary lists whose objects are shared (libplist copies a shared object for
// every reference, so these few hundred bytes stand for 14^12 and 2^24 values), and
// what is no regular file (a named pipe blocks open until a writer comes).
TEST_F(FilterManagerTest, ReadingAnyFileIsBoundedInTimeAndMemory) {
    const std::string notRegular = "The filter configuration at " + file.string() + " is not a regular file; it is not read.";
    const std::string unreadable = "The filter configuration at " + file.string() + " cannot be read.";
    struct Case {
        const char* what;
        std::function<void()> make;
        std::string error;
    };
    auto contents = [&](std::string bytes) {
        return [this, bytes] { std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes; };
    };
    const Case cases[] = {
        {"shared references, 12 levels of 14", contents(plisttest::sharedReferenceBinaryPropertyList(12, 14)), unreadable},
        {"shared references, 24 levels of 2", contents(plisttest::sharedReferenceBinaryPropertyList(24, 2)), unreadable},
        {"a named pipe", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0) << std::strerror(errno); }, notRegular},
        {"a symbolic link to /dev/zero", [&] { fs::create_symlink("/dev/zero", file); }, notRegular},
        {"a folder", [&] { fs::create_directory(file); }, notRegular},
    };
    fs::create_directories(file.parent_path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(file);
        c.make();
        auto cost = childcost::measure(
            [&] {
                std::string error;
                return FilterConfiguration::read(file, error) ? "read" : error;
            },
            512, 60);
        EXPECT_TRUE(cost.returned) << cost.why;
        if (!cost.returned) continue;
        EXPECT_EQ(cost.result, c.error);
        // Generous bounds: a bounded read takes microseconds and a few kilobytes.
        EXPECT_LT(cost.cpuMs, 500);
        EXPECT_LT(cost.growthMB, 16);
    }
}

// write writes only what read gives back as it is: a description that indentation
// pushes past the size that read takes, or one that the file cannot keep, is refused
// with the reason and the file stays as it was.
TEST_F(FilterManagerTest, WhatIsWrittenReadsBackOrIsNotWritten) {
    FilterConfiguration saved{true, NEFilterProviderConfiguration{true, false}, "Quillmark"};
    ASSERT_FALSE(saved.write(file));
    const auto savedSize = fs::file_size(file);
    // The longest description that fits, as written (indented), and one byte more.
    const std::size_t longest = kMaxFilterConfigurationBytes - savedSize + saved.localizedDescription->size();
    const struct {
        const char* what;
        std::string description;
        std::string error;  // empty: written
    } cases[] = {
        {"the longest that fits", std::string(longest, 'q'), ""},
        {"one byte more", std::string(longest + 1, 'q'),
         "it would be 4097 bytes, and no more than 4096 bytes are read"},
        // 3,718 bytes: a compact file of 4,090 bytes, written indented as 4,113.
        {"one that fits only in a compact file", std::string(3718, 'q'),
         "it would be " + std::to_string(savedSize - 9 + 3718) + " bytes, and no more than 4096 bytes are read"},
        {"one with a NUL character", std::string("Quill\0mark", 10),
         "it would not read back as it is (its description holds a character that the file cannot keep)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_FALSE(saved.write(file));
        FilterConfiguration changed = saved;
        changed.localizedDescription = c.description;
        auto error = changed.write(file);
        EXPECT_EQ(error.value_or(""), c.error);
        std::string readError;
        auto back = FilterConfiguration::read(file, readError);
        ASSERT_TRUE(back) << readError;
        EXPECT_EQ(*back, c.error.empty() ? changed : saved);
    }
    // Through the manager, the application sees the reason.
    NEFilterManager manager(file);
    manager.setEnabled(true);
    manager.setProviderConfiguration(NEFilterProviderConfiguration{true, false});
    manager.setLocalizedDescription(std::string(longest + 1, 'q'));
    auto error = wait([&](auto done) { manager.saveToPreferences(done); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription,
              "The filter configuration cannot be saved: it would be 4097 bytes, and no more than 4096 bytes are read");
}

// The watcher creates no folder on the way to the file (the path may be a user's and
// the watcher root); it hears of the file once its folders appear, one by one or at
// once, and of its folder going away.
TEST_F(FilterManagerTest, TheWatcherMakesNoFolderAndFindsTheFileWhenItsFoldersAppear) {
    const fs::path deep = dir / "a" / "b" / "c" / "NEFilterConfiguration.plist";
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    auto callsAfter = [&](const std::function<void()>& change) {
        std::unique_lock lock(mutex);
        const int before = calls;
        lock.unlock();
        change();
        lock.lock();
        return changed.wait_for(lock, 10s, [&] { return calls > before; });
    };
    FileWatcher watcher(deep, [&] {
        std::lock_guard lock(mutex);
        ++calls;
        changed.notify_all();
    });
    EXPECT_FALSE(fs::exists(dir / "a"));
    fs::create_directory(dir / "a");
    fs::create_directory(dir / "a" / "b");
    fs::create_directory(dir / "a" / "b" / "c");
    EXPECT_TRUE(callsAfter([&] { std::ofstream(deep) << "x"; })) << "the file in folders made one by one";
    EXPECT_TRUE(callsAfter([&] { fs::remove_all(dir / "a"); })) << "its folders removed";
    // Made at once, with the file, and moved into place.
    fs::create_directories(dir / "new" / "b" / "c");
    std::ofstream(dir / "new" / "b" / "c" / deep.filename()) << "x";
    EXPECT_TRUE(callsAfter([&] { fs::rename(dir / "new", dir / "a"); })) << "folders moved into place with the file";
    EXPECT_TRUE(callsAfter([&] { std::ofstream(deep) << "y"; })) << "then written again";
}

// A binary configuration as writers make them, with one object for equal values (both
// trues here), is read.
TEST_F(FilterManagerTest, ABinaryConfigurationWithSharedValuesIsRead) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << plisttest::binaryPropertyList({
        {char(0xD2), char(1), char(2), char(3), char(4)},  // {Enabled: true, ProviderConfiguration: {...}}
        "\x57" "Enabled",
        "\x5F\x10\x15" "ProviderConfiguration",
        {char(0x09)},
        {char(0xD2), char(5), char(6), char(3), char(7)},  // {FilterSockets: true, FilterPackets: false}
        "\x5D" "FilterSockets",
        "\x5D" "FilterPackets",
        {char(0x08)},
    });
    std::string error;
    auto read = FilterConfiguration::read(file, error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(*read, (FilterConfiguration{true, NEFilterProviderConfiguration{true, false}, std::nullopt}));
}

TEST_F(FilterManagerTest, ObserversHearOfChangesByAnyWriter) {
    NEFilterManager observer(file);
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    std::uint64_t token = observer.addConfigurationObserver(dispatch::DispatchQueue("test.observer"), [&] {
        std::lock_guard lock(mutex);
        ++calls;
        changed.notify_all();
    });
    NEFilterManager other(file);
    other.setProviderConfiguration(NEFilterProviderConfiguration{true, false});
    EXPECT_FALSE(wait([&](auto done) { other.saveToPreferences(done); }));
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, 10s, [&] { return calls >= 1; }));
    }
    observer.removeConfigurationObserver(token);
}

TEST(FilterConfigurationPath, OverrideWins) {
    ::setenv("QUILLMARK_FILTER_CONFIG", "/tmp/somewhere.plist", 1);
    EXPECT_EQ(filterConfigurationPath(), "/tmp/somewhere.plist");
    ::unsetenv("QUILLMARK_FILTER_CONFIG");
    if (::geteuid() == 0 && !std::getenv("PKEXEC_UID")) {
        EXPECT_EQ(filterConfigurationPath(), "/var/lib/quillmark/NEFilterConfiguration.plist");
    }
}

}  // namespace
