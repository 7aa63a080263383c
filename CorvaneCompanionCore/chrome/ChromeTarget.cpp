#include "chrome/ChromeTarget.h"

#include "ChromePlatform.h"
#include "UserDefaults.h"
#include "UserPaths.h"

#include <QFileInfo>

namespace corvane {

std::optional<QString> companionSetting(const QString &env, const QString &key)
{
    const QString fromEnvironment = qEnvironmentVariable(env.toUtf8().constData()).trimmed();
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    const QString fromDefaults = platform::UserDefaults::string(key).trimmed();
    if (!fromDefaults.isEmpty())
        return fromDefaults;
    return std::nullopt;
}

bool fileExists(const QString &path)
{
    return QFileInfo::exists(path);
}

QString expandedDir(const QString &path, const QString &home)
{
    QString result = path;
    if (path == QLatin1String("~"))
        result = home;
    else if (path.startsWith(QLatin1String("~/")))
        result = home + path.mid(1);
    while (result.size() > 1 && result.endsWith(QLatin1Char('/')))
        result.chop(1);
    return result;
}

ChromeTarget chromeTarget(const QString &home, const PathExists &exists, const SettingReader &setting)
{
    const QString debugDir = home + QStringLiteral("/.chrome-debug");
    const QString companionDir = home + QStringLiteral("/.corvane-companion-chrome");

    ChromeTarget target;
    if (const auto configured
        = setting(QStringLiteral("CORVANE_CHROME_USER_DATA_DIR"), QStringLiteral("chromeUserDataDir")))
        target.userDataDir = expandedDir(*configured, home);
    else if (exists(debugDir))
        target.userDataDir = debugDir;
    else
        target.userDataDir = companionDir;

    if (const auto profile
        = setting(QStringLiteral("CORVANE_CHROME_PROFILE"), QStringLiteral("chromeProfileDirectory")))
        target.profileDirectory = *profile;
    else if (target.userDataDir == debugDir && exists(target.userDataDir + QStringLiteral("/Profile 2")))
        target.profileDirectory = QStringLiteral("Profile 2");
    else
        target.profileDirectory = QStringLiteral("Default");
    return target;
}

ChromeTarget currentChromeTarget()
{
    return chromeTarget(platform::homeDir());
}

QString chromeAppPath()
{
    const auto configured = companionSetting(QStringLiteral("CORVANE_CHROME_APP"), QStringLiteral("chromeAppPath"));
    return platform::chromeExecutable(configured ? expandedDir(*configured, platform::homeDir()) : QString());
}

QString companionChromeProfile()
{
    return platform::homeDir() + QStringLiteral("/.corvane-companion-chrome");
}

} // namespace corvane
