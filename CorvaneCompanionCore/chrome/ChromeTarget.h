#pragma once

// Which Chrome user-data folder and profile the companion drives, the settings
// that change it, and where the Chrome executable is.

#include <QString>

#include <functional>
#include <optional>

namespace corvane {

// Chrome's default remote-debugging port.
inline constexpr qint64 chromeDebugPort = 9222;

struct ChromeTarget {
    QString userDataDir;
    QString profileDirectory;

    friend bool operator==(const ChromeTarget &, const ChromeTarget &) = default;
};

using PathExists = std::function<bool(const QString &path)>;
using SettingReader = std::function<std::optional<QString>(const QString &env, const QString &key)>;

// The environment variable first, then the user-defaults key; trimmed, and a
// blank value counts as absent.
std::optional<QString> companionSetting(const QString &env, const QString &key);

bool fileExists(const QString &path);

// "~" and "~/…" against `home`; trailing slashes dropped (a lone "/" stays).
QString expandedDir(const QString &path, const QString &home);

ChromeTarget chromeTarget(const QString &home, const PathExists &exists = fileExists,
                          const SettingReader &setting = companionSetting);

// The target for the current user with the real file system and settings.
ChromeTarget currentChromeTarget();

QString chromeAppPath();
QString companionChromeProfile();

} // namespace corvane
