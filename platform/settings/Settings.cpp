#include "Settings.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>

namespace qm {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::optional<double> parseNumber(const std::string& s) {
    if (s.empty()) return std::nullopt;
    char* end = nullptr;
    double d = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size()) return std::nullopt;
    return d;
}

}  // namespace

void Settings::registerDefaults(const SettingPairs& defaults) {
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, value] : defaults) registered_.insert_or_assign(key, value);
    }
    notify();
}

std::optional<SettingValue> Settings::value(std::string_view key) const {
    if (auto stored = storedValue(key)) return stored;
    std::lock_guard lock(mutex_);
    auto it = registered_.find(key);
    if (it == registered_.end()) return std::nullopt;
    return it->second;
}

void Settings::setValue(std::string_view key, SettingValue value) {
    storeValue(key, std::move(value));
    notify();
}

void Settings::removeValue(std::string_view key) {
    eraseValue(key);
    notify();
}

bool Settings::boolValue(std::string_view key) const {
    auto v = value(key);
    if (!v) return false;
    if (auto b = v->get<bool>()) return *b;
    if (auto i = v->get<std::int64_t>()) return *i != 0;
    if (auto d = v->get<double>()) return *d != 0;
    if (auto s = v->get<std::string>()) {
        if (equalsIgnoringCase(*s, "yes") || equalsIgnoringCase(*s, "true")) return true;
        auto n = parseNumber(*s);
        return n && *n != 0;
    }
    return false;
}

double Settings::doubleValue(std::string_view key) const {
    auto v = value(key);
    if (!v) return 0;
    if (auto d = v->get<double>()) return *d;
    if (auto i = v->get<std::int64_t>()) return static_cast<double>(*i);
    if (auto b = v->get<bool>()) return *b ? 1 : 0;
    if (auto s = v->get<std::string>()) return parseNumber(*s).value_or(0);
    return 0;
}

std::optional<std::string> Settings::stringValue(std::string_view key) const {
    auto v = value(key);
    if (!v) return std::nullopt;
    if (auto s = v->get<std::string>()) return *s;
    if (auto i = v->get<std::int64_t>()) return std::to_string(*i);
    if (auto d = v->get<double>()) {
        char buf[32];
        auto r = std::to_chars(buf, buf + sizeof buf, *d);
        return std::string(buf, r.ptr);
    }
    return std::nullopt;
}

std::optional<SettingList> Settings::listValue(std::string_view key) const {
    auto v = value(key);
    if (!v) return std::nullopt;
    if (auto l = v->get<SettingList>()) return *l;
    return std::nullopt;
}

Settings::ObserverId Settings::addObserver(Observer observer) {
    std::lock_guard lock(mutex_);
    ObserverId id = nextId_++;
    observers_.emplace(id, std::make_shared<const Observer>(std::move(observer)));
    return id;
}

void Settings::removeObserver(ObserverId id) {
    std::lock_guard lock(mutex_);
    observers_.erase(id);
}

void Settings::notify() {
    std::vector<std::shared_ptr<const Observer>> snapshot;
    {
        std::lock_guard lock(mutex_);
        snapshot.reserve(observers_.size());
        for (const auto& [id, observer] : observers_) snapshot.push_back(observer);
    }
    for (const auto& observer : snapshot) (*observer)();
}

std::optional<SettingValue> InMemorySettings::storedValue(std::string_view key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

void InMemorySettings::storeValue(std::string_view key, SettingValue value) {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(std::string(key), std::move(value));
}

void InMemorySettings::eraseValue(std::string_view key) {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it != values_.end()) values_.erase(it);
}

namespace {

struct StandardSettings {
    std::mutex mutex;
    std::unique_ptr<Settings> settings;
    bool used = false;
};

StandardSettings& standard() {
    static StandardSettings s;
    return s;
}

}  // namespace

Settings& standardSettings() {
    auto& s = standard();
    std::lock_guard lock(s.mutex);
    if (!s.settings) s.settings = std::make_unique<InMemorySettings>();
    s.used = true;
    return *s.settings;
}

bool installStandardSettings(std::unique_ptr<Settings> settings) {
    auto& s = standard();
    std::lock_guard lock(s.mutex);
    if (s.used) return false;
    s.settings = std::move(settings);
    return true;
}

}  // namespace qm
