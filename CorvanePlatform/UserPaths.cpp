#include "UserPaths.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::platform {

namespace {

// XDG variables only count when they hold an absolute path.
QString xdgDir(const char *variable, const QString &fallbackUnderHome)
{
    const QString value = qEnvironmentVariable(variable);
    if (value.startsWith(QLatin1Char('/')))
        return QDir::cleanPath(value);
    return homeDir() + QLatin1Char('/') + fallbackUnderHome;
}

// A folder we can trust for private files: a real directory (not a link),
// owned by us, closed to everyone else.
bool isPrivateDir(const QByteArray &path)
{
    struct stat info { };
    if (::lstat(path.constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

} // namespace

QString homeDir()
{
    return QDir::homePath();
}

QString applicationSupportDir()
{
    return xdgDir("XDG_DATA_HOME", QStringLiteral(".local/share"));
}

QString logDir()
{
    return xdgDir("XDG_STATE_HOME", QStringLiteral(".local/state")) + QStringLiteral("/CorvaneCompanion");
}

QString configHome()
{
    return xdgDir("XDG_CONFIG_HOME", QStringLiteral(".config"));
}

QString downloadsDir()
{
    // Lines like XDG_DOWNLOAD_DIR="$HOME/Downloads", as xdg-user-dirs writes them.
    QFile dirs(configHome() + QStringLiteral("/user-dirs.dirs"));
    if (dirs.size() < 64 * 1024 && dirs.open(QIODevice::ReadOnly)) {
        for (const QByteArray &raw : dirs.readAll().split('\n')) {
            const QString line = QString::fromUtf8(raw.trimmed());
            const QString key = QStringLiteral("XDG_DOWNLOAD_DIR=\"");
            if (!line.startsWith(key) || !line.endsWith(QLatin1Char('"')) || line.size() <= key.size() + 1)
                continue;
            QString value = line.mid(key.size(), line.size() - key.size() - 1);
            if (value.startsWith(QLatin1String("$HOME")))
                value = homeDir() + value.mid(5);
            const QString clean = QDir::cleanPath(value);
            // The home folder itself means "not set" to the desktop's tools.
            if (QDir::isAbsolutePath(clean) && clean != QDir::cleanPath(homeDir()))
                return clean;
        }
    }
    return homeDir() + QStringLiteral("/Downloads");
}

bool makePrivateDir(const QString &path)
{
    const QString parent = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(parent))
        return false;
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) == 0)
        return true;
    return errno == EEXIST && QFileInfo(path).isDir();
}

QString temporaryDir()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.startsWith(QLatin1Char('/')) && QFileInfo(runtime).isDir())
        return QDir::cleanPath(runtime) + QLatin1Char('/');

    // Without one, a folder in the user's own home: no other account can make
    // it first, so every start of the user meets the same lock there.
    const QString ours
        = xdgDir("XDG_STATE_HOME", QStringLiteral(".local/state")) + QStringLiteral("/CorvaneCompanion/runtime");
    const QByteArray native = QFile::encodeName(ours);
    QDir().mkpath(QFileInfo(ours).absolutePath());
    ::mkdir(native.constData(), 0700);
    struct stat info { };
    if (::lstat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid())
        ::chmod(native.constData(), 0700); // ours, but opened up by hand: closed again
    return isPrivateDir(native) ? ours + QLatin1Char('/') : QString();
}

} // namespace corvane::platform
