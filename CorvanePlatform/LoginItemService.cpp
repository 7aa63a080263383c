#include "LoginItemService.h"

#include "UserPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace corvane::platform {

namespace {

// An Exec argument in double quotes; '%' is the entry's field-code sign.
QString quotedExecArgument(const QString &path)
{
    QString quoted;
    for (const QChar c : path) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
        if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
    }
    // The entry format escapes backslashes once more inside string values.
    quoted.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

bool isHidden(const QByteArray &entry)
{
    for (const QByteArray &line : entry.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.startsWith("Hidden") && trimmed.mid(6).trimmed().startsWith('='))
            return trimmed.mid(trimmed.indexOf('=') + 1).trimmed() == "true";
    }
    return false;
}

} // namespace

LoginItemService LoginItemService::mainApp(const Bundle &bundle)
{
    LoginItemService service;
    service.executablePath_ = bundle.executablePath;
    return service;
}

QString LoginItemService::entryPath() const
{
    return configHome() + QStringLiteral("/autostart/") + bundleIdentifier() + QStringLiteral(".desktop");
}

int LoginItemService::status() const
{
    QFile entry(entryPath());
    if (!entry.open(QIODevice::ReadOnly))
        return loginItemNotRegistered;
    return isHidden(entry.readAll()) ? loginItemNotRegistered : loginItemEnabled;
}

QByteArray LoginItemService::entryText(const QString &executablePath)
{
    return QByteArrayLiteral("[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=Corvane Companion\n"
                             "Comment=Lets the Corvane chat assistant act in your own Chrome\n")
        + "Exec=" + quotedExecArgument(executablePath).toUtf8() + "\n" + "Icon=" + bundleIdentifier().toUtf8() + "\n"
        + QByteArrayLiteral("Terminal=false\n"
                            "X-GNOME-Autostart-enabled=true\n");
}

std::optional<QString> LoginItemService::registerItem() const
{
    if (executablePath_.isEmpty())
        return QStringLiteral("The application's executable is not known.");
    if (executablePath_.contains(QLatin1Char('\n')) || executablePath_.contains(QLatin1Char('\r')))
        return QStringLiteral("The application's path has a line break, which an autostart entry cannot hold.");
    const QString path = entryPath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return QStringLiteral("Could not create the folder of %1.").arg(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    file.write(entryText(executablePath_));
    if (!file.commit())
        return file.errorString();
    return std::nullopt;
}

std::optional<QString> LoginItemService::unregisterItem() const
{
    QFile entry(entryPath());
    if (!entry.exists())
        return std::nullopt;
    if (!entry.remove())
        return entry.errorString();
    return std::nullopt;
}

} // namespace corvane::platform
