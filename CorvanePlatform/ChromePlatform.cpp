#include "ChromePlatform.h"

#include "Processes.h"

#include <QRegularExpression>

namespace corvane::platform {

QStringList chromeExecutableCandidates()
{
    return {QStringLiteral("/opt/google/chrome/chrome"), QStringLiteral("/usr/lib/chromium/chromium")};
}

QString chromeExecutable(const QString &configured)
{
    if (!configured.isEmpty())
        return configured;
    const QStringList candidates = chromeExecutableCandidates();
    for (const QString &candidate : candidates) {
        if (isExecutableFile(candidate))
            return candidate;
    }
    return candidates.first();
}

QString chromeCommandLinePrefix(const QString &executable)
{
    return executable + QLatin1Char(' ');
}

bool hasGraphicalDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

QStringList chromeLaunchSwitches(bool hasDisplay, bool asRoot, const QString &userFlags)
{
    QStringList switches;
    if (!hasDisplay)
        switches << QStringLiteral("--headless=new");
    if (asRoot)
        switches << QStringLiteral("--no-sandbox");
    static const QRegularExpression whiteSpace(QStringLiteral("\\s+"));
    switches << userFlags.split(whiteSpace, Qt::SkipEmptyParts);
    return switches;
}

} // namespace corvane::platform
