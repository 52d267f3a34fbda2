#pragma once
// The application's stored settings, kept by QSettings (an INI file in the
// user's configuration folder, or at a given path). Values come back with their
// kind: Booleans, integers, floating-point numbers, texts and lists. Safe to use
// from any thread.

#include <QSettings>
#include <QString>

#include <mutex>

#include "Settings.h"

namespace qm {

class QtSettings final : public Settings {
public:
    // The settings of the application's organisation and name.
    QtSettings();
    // The settings in the INI file at path.
    explicit QtSettings(const QString& path);

protected:
    std::optional<SettingValue> storedValue(std::string_view key) const override;
    void storeValue(std::string_view key, SettingValue value) override;
    void eraseValue(std::string_view key) override;

private:
    mutable std::mutex mutex_;
    mutable QSettings store_;
};

}  // namespace qm
