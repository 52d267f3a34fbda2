#include "QtSettings.h"

#include <QVariantList>

namespace qm {

namespace {

QString keyText(std::string_view key) { return QString::fromUtf8(key.data(), qsizetype(key.size())); }

QVariant toVariant(const SettingValue& value) {
    return std::visit(
        [](const auto& v) -> QVariant {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, bool>) return v;
            else if constexpr (std::is_same_v<T, std::int64_t>) return qlonglong(v);
            else if constexpr (std::is_same_v<T, double>) return v;
            else if constexpr (std::is_same_v<T, std::string>) return QString::fromStdString(v);
            else {
                QVariantList list;
                for (const SettingValue& element : v) list.push_back(toVariant(element));
                return list;
            }
        },
        value.data());
}

// The INI format keeps Booleans and numbers as text; such texts come back as the
// Boolean or number they were.
SettingValue fromText(const QString& s) {
    if (s == "true") return true;
    if (s == "false") return false;
    bool ok = false;
    if (qlonglong i = s.toLongLong(&ok); ok && QString::number(i) == s) return std::int64_t(i);
    if (double d = s.toDouble(&ok); ok && !s.trimmed().isEmpty() && s.trimmed() == s) return d;
    return s.toStdString();
}

SettingValue fromVariant(const QVariant& v) {
    switch (v.typeId()) {
        case QMetaType::Bool: return v.toBool();
        case QMetaType::Int:
        case QMetaType::LongLong:
        case QMetaType::UInt:
        case QMetaType::ULongLong: return std::int64_t(v.toLongLong());
        case QMetaType::Double:
        case QMetaType::Float: return v.toDouble();
        case QMetaType::QStringList:
        case QMetaType::QVariantList: {
            SettingList list;
            for (const QVariant& element : v.toList()) list.push_back(fromVariant(element));
            return list;
        }
        default: return fromText(v.toString());
    }
}

}  // namespace

QtSettings::QtSettings() = default;

QtSettings::QtSettings(const QString& path) : store_(path, QSettings::IniFormat) {}

std::optional<SettingValue> QtSettings::storedValue(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const QVariant v = store_.value(keyText(key));
    if (!v.isValid()) return std::nullopt;
    return fromVariant(v);
}

void QtSettings::storeValue(std::string_view key, SettingValue value) {
    std::lock_guard lock(mutex_);
    store_.setValue(keyText(key), toVariant(value));
    store_.sync();
}

void QtSettings::eraseValue(std::string_view key) {
    std::lock_guard lock(mutex_);
    store_.remove(keyText(key));
    store_.sync();
}

}  // namespace qm
