#include "FilterManager.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <future>

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
