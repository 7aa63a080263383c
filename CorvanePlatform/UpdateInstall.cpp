#include "UpdateInstall.h"

#include "ProcessRun.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace corvane::platform {

namespace {

constexpr double unpackLimitSeconds = 300.0;

InstallStep failure(const QString &error)
{
    return {false, error};
}

InstallStep success()
{
    return {true, {}};
}

QString executableName(const Bundle &bundle)
{
    return QFileInfo(bundle.executablePath).fileName();
}

// A file belongs to the application when it is its executable or when its
// path names the application's identifier.
bool isOwnFile(const QString &relativePath, const QString &executable)
{
    if (relativePath == QStringLiteral("bin/") + executable)
        return true;
    const QStringList parts = relativePath.split(QLatin1Char('/'));
    return std::any_of(parts.begin(), parts.end(),
                       [](const QString &part) { return part.contains(bundleIdentifier()); });
}

std::optional<QString> foreignFileIn(const QString &prefix, const QString &executable)
{
    QDirIterator files(prefix, QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                       QDirIterator::Subdirectories);
    const QDir root(prefix);
    while (files.hasNext()) {
        const QString relative = root.relativeFilePath(files.next());
        if (!isOwnFile(relative, executable))
            return relative;
    }
    return std::nullopt;
}

bool removeAny(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    if (info.isDir() && !info.isSymLink())
        return QDir(path).removeRecursively();
    return QFile::remove(path);
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

QString stagedCopyPath(const Bundle &bundle)
{
    return bundle.location + QStringLiteral(".update");
}

QString stagedArchivePath(const Bundle &bundle)
{
    return bundle.location + QStringLiteral(".update.tar.gz");
}

QString previousCopyPath(const Bundle &bundle)
{
    return bundle.location + QStringLiteral(".previous");
}

QString versionFilePath()
{
    return QStringLiteral("share/") + bundleIdentifier() + QStringLiteral("/version");
}

InstallStep checkReplaceable(const Bundle &bundle)
{
    if (!bundle.isApplication)
        return failure(QStringLiteral("%1 is not an installed copy").arg(bundle.executablePath));
    const QString prefix = bundle.location;
    if (const std::optional<QString> foreign = foreignFileIn(prefix, executableName(bundle)))
        return failure(
            QStringLiteral("%1 is shared with other programs (it holds %2): update it the way it was installed")
                .arg(prefix, *foreign));
    const QString parent = QFileInfo(prefix).absolutePath();
    for (const QString &folder : {prefix, parent}) {
        if (!QFileInfo(folder).isWritable())
            return failure(QStringLiteral("%1 is not writable").arg(folder));
    }
    return success();
}

InstallStep stageUpdate(const Bundle &bundle, const QString &archivePath)
{
    const QString staged = stagedCopyPath(bundle);
    if (!removeAny(staged) || !QDir().mkpath(staged))
        return failure(QStringLiteral("could not make %1").arg(staged));
    // Files belong to whoever runs the companion, not to whoever packed them.
    const ProcessOutcome tar = runProcess(QStringLiteral("tar"),
                                          {QStringLiteral("-xzf"), archivePath, QStringLiteral("-C"), staged,
                                           QStringLiteral("--no-same-owner")},
                                          unpackLimitSeconds);
    if (tar.end != ProcessOutcome::End::exited || tar.status != 0) {
        discardStagedUpdate(bundle);
        const QString said = QString::fromLocal8Bit(tar.output).trimmed().section(QLatin1Char('\n'), 0, 0);
        return failure(QStringLiteral("the update could not be unpacked: %1")
                           .arg(said.isEmpty() ? QStringLiteral("tar did not finish") : said));
    }
    const QString executable = staged + QStringLiteral("/bin/") + executableName(bundle);
    if (!bundleForExecutable(executable).isApplication || !QFileInfo(executable).isExecutable()) {
        discardStagedUpdate(bundle);
        return failure(
            QStringLiteral("the update is not an installed copy of this application (no bin/%1 and desktop entry)")
                .arg(executableName(bundle)));
    }
    return success();
}

InstallStep prepareStagedArchive(const Bundle &bundle)
{
    const QString path = stagedArchivePath(bundle);
    if (!removeAny(path))
        return failure(QStringLiteral("could not clear %1").arg(path));
    const int fd
        = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return failure(QStringLiteral("could not make %1: %2").arg(path, systemError()));
    ::close(fd);
    return success();
}

std::optional<QString> stagedVersion(const Bundle &bundle)
{
    QFile file(stagedCopyPath(bundle) + QLatin1Char('/') + versionFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QString version = QString::fromUtf8(file.read(256)).trimmed();
    return version.isEmpty() ? std::nullopt : std::optional<QString>(version);
}

void discardStagedUpdate(const Bundle &bundle)
{
    removeAny(stagedCopyPath(bundle));
    removeAny(stagedArchivePath(bundle));
}

InstallStep swapInStagedUpdate(const Bundle &bundle)
{
    const QByteArray installed = QFile::encodeName(bundle.location);
    const QByteArray staged = QFile::encodeName(stagedCopyPath(bundle));
    const QByteArray previous = QFile::encodeName(previousCopyPath(bundle));
    if (!QFileInfo(stagedCopyPath(bundle)).isDir())
        return failure(QStringLiteral("no update is unpacked at %1").arg(stagedCopyPath(bundle)));
    if (!removeAny(previousCopyPath(bundle)))
        return failure(QStringLiteral("could not clear %1").arg(previousCopyPath(bundle)));
    // One atomic exchange where the file system offers it: there is no moment
    // without an installed copy.
    if (::renameat2(AT_FDCWD, staged.constData(), AT_FDCWD, installed.constData(), RENAME_EXCHANGE) == 0) {
        // Should this rename fail, the old copy simply stays under the staged
        // name; the new one is in place either way.
        std::rename(staged.constData(), previous.constData());
        removeAny(stagedArchivePath(bundle));
        return success();
    }
    if (std::rename(installed.constData(), previous.constData()) != 0)
        return failure(QStringLiteral("could not move %1 aside: %2").arg(bundle.location, systemError()));
    if (std::rename(staged.constData(), installed.constData()) != 0) {
        const QString error = systemError();
        std::rename(previous.constData(), installed.constData());
        return failure(QStringLiteral("could not move the update into %1: %2").arg(bundle.location, error));
    }
    removeAny(stagedArchivePath(bundle));
    return success();
}

bool relaunchAfterExit(const Bundle &bundle, qint64 pid, const QStringList &arguments)
{
    // A detached shell outlives us, waits for our end (the loopback port must
    // be free), then becomes the new copy.
    static const QString script
        = QStringLiteral("pid=$1; shift; i=0\n"
                         "while kill -0 \"$pid\" 2>/dev/null && [ \"$i\" -lt 300 ]; do sleep 0.1; i=$((i+1)); done\n"
                         "exec \"$@\"\n");
    QStringList shellArguments {QStringLiteral("-c"), script, QStringLiteral("corvane-relaunch"), QString::number(pid),
                                bundle.executablePath};
    shellArguments << arguments;
    return QProcess::startDetached(QStringLiteral("/bin/sh"), shellArguments);
}

void removePreviousCopy(const Bundle &bundle)
{
    if (bundle.isApplication)
        removeAny(previousCopyPath(bundle));
}

} // namespace corvane::platform
