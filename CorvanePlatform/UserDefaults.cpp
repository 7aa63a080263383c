#include "UserDefaults.h"

#include "UserPaths.h"

#include <QSettings>

namespace corvane::platform::UserDefaults {

namespace {

// Keys stay flat: QSettings would read a "/" as a group separator.
QString flatKey(QString key)
{
    return key.replace(QLatin1Char('/'), QLatin1Char('_'));
}

bool synced(QSettings &settings)
{
    settings.sync();
    return settings.status() == QSettings::NoError;
}

} // namespace

QString filePath()
{
    return configHome() + QStringLiteral("/CorvaneCompanion/defaults.ini");
}

bool contains(const QString &key)
{
    return QSettings(filePath(), QSettings::IniFormat).contains(flatKey(key));
}

QString string(const QString &key)
{
    QSettings settings(filePath(), QSettings::IniFormat);
    const QVariant value = settings.value(flatKey(key));
    // A hand-written value with commas reads back as a list; keep its text.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

bool boolean(const QString &key)
{
    const QString text = string(key).trimmed().toLower();
    return text == QLatin1String("true") || text == QLatin1String("yes") || text == QLatin1String("1");
}

bool setString(const QString &key, const QString &value)
{
    QSettings settings(filePath(), QSettings::IniFormat);
    settings.setValue(flatKey(key), value);
    return synced(settings);
}

bool setBoolean(const QString &key, bool value)
{
    return setString(key, value ? QStringLiteral("true") : QStringLiteral("false"));
}

bool remove(const QString &key)
{
    QSettings settings(filePath(), QSettings::IniFormat);
    settings.remove(flatKey(key));
    return synced(settings);
}

} // namespace corvane::platform::UserDefaults
