#pragma once
// Application settings: a registration domain of defaults, the values the user
// stored, and observers told after every change. Stored values win over
// registered ones; registering never overwrites what the user set. All members
// are safe to call from any thread.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace qm {

class SettingValue;
using SettingList = std::vector<SettingValue>;

// One setting: a Boolean, an integer, a floating-point number, a text or a list
// of settings (whose elements may be of any of these kinds).
class SettingValue {
public:
    using Data = std::variant<bool, std::int64_t, double, std::string, SettingList>;

    SettingValue(bool b) : data_(b) {}
    SettingValue(int i) : data_(std::int64_t{i}) {}
    SettingValue(std::int64_t i) : data_(i) {}
    SettingValue(double d) : data_(d) {}
    SettingValue(std::string s) : data_(std::move(s)) {}
    SettingValue(std::string_view s) : data_(std::string(s)) {}
    SettingValue(const char* s) : data_(std::string(s)) {}
    SettingValue(SettingList l) : data_(std::move(l)) {}

    const Data& data() const { return data_; }
    template <class T>
    const T* get() const { return std::get_if<T>(&data_); }

    friend bool operator==(const SettingValue&, const SettingValue&) = default;

private:
    Data data_;
};

using SettingPairs = std::vector<std::pair<std::string, SettingValue>>;

// The settings interface. Subclasses provide the stored values; registered
// defaults and observers live here and are never persisted.
class Settings {
public:
    using ObserverId = std::uint64_t;
    using Observer = std::function<void()>;

    Settings() = default;
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;
    virtual ~Settings() = default;

    // Adds to (or replaces within) the registration domain, then notifies.
    void registerDefaults(const SettingPairs& defaults);

    // The stored value, else the registered one, else nothing.
    std::optional<SettingValue> value(std::string_view key) const;
    // Stores a value for the key, then notifies.
    void setValue(std::string_view key, SettingValue value);
    // Removes the stored value (the registered one applies again), then notifies.
    void removeValue(std::string_view key);

    // Typed reads. A Boolean is true for true, a non-zero number, or a text
    // "YES", "TRUE" (either case) or a non-zero integer; absent is false.
    bool boolValue(std::string_view key) const;
    // A number, a Boolean as 1 or 0, or a text that is a number; else 0.
    double doubleValue(std::string_view key) const;
    // A text, or a number as text; else nothing.
    std::optional<std::string> stringValue(std::string_view key) const;
    // A list; else nothing.
    std::optional<SettingList> listValue(std::string_view key) const;

    // Observers are called on the thread that made the change, after it is in
    // force, without any lock of this object held. A change already being
    // announced on another thread may still reach an observer just removed.
    ObserverId addObserver(Observer observer);
    void removeObserver(ObserverId id);

protected:
    virtual std::optional<SettingValue> storedValue(std::string_view key) const = 0;
    virtual void storeValue(std::string_view key, SettingValue value) = 0;
    virtual void eraseValue(std::string_view key) = 0;

private:
    void notify();

    mutable std::mutex mutex_;  // guards registered_, observers_ and nextId_
    std::map<std::string, SettingValue, std::less<>> registered_;
    std::map<ObserverId, std::shared_ptr<const Observer>> observers_;
    ObserverId nextId_ = 1;
};

// Settings kept in memory only: for tests and tools.
class InMemorySettings final : public Settings {
protected:
    std::optional<SettingValue> storedValue(std::string_view key) const override;
    void storeValue(std::string_view key, SettingValue value) override;
    void eraseValue(std::string_view key) override;

private:
    mutable std::mutex mutex_;
    std::map<std::string, SettingValue, std::less<>> values_;
};

// The process's settings: those installed at start-up, else an in-memory store
// created on first use.
Settings& standardSettings();
// Installs the process's settings. Only before the first call of
// standardSettings(); returns false (and keeps the settings in force) after it.
bool installStandardSettings(std::unique_ptr<Settings> settings);

}  // namespace qm
