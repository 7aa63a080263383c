#include "Bundle.h"

#include "BuildFacts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <utility>

namespace corvane::platform {

namespace {

QVariantMap &mainInfo()
{
    static QVariantMap info;
    return info;
}

// Whether the system's package manager installed this file: dpkg lists the
// files of each package it installed.
bool installedByPackage(const QString &path)
{
    QFile list(QStringLiteral("/var/lib/dpkg/info/corvane-companion.list"));
    if (!list.open(QIODevice::ReadOnly))
        return false;
    const QByteArray wanted = QFile::encodeName(path);
    while (!list.atEnd()) {
        if (list.readLine().trimmed() == wanted)
            return true;
    }
    return false;
}

} // namespace

QString bundleIdentifier()
{
    return QString::fromUtf8(build::bundleId);
}

Bundle bundleForExecutable(const QString &executablePath)
{
    Bundle bundle {{}, executablePath, {}, false, false};
    const QFileInfo executable(executablePath);
    const QDir folder = executable.absoluteDir();
    bundle.location = folder.absolutePath();
    if (folder.dirName() == QLatin1String("bin")) {
        const QString prefix = QFileInfo(folder.absolutePath()).absolutePath();
        const QString entry
            = prefix + QStringLiteral("/share/applications/") + bundleIdentifier() + QStringLiteral(".desktop");
        if (QFileInfo(entry).isFile()) {
            bundle.location = prefix;
            bundle.isApplication = true;
            bundle.fromPackage = installedByPackage(executable.absoluteFilePath());
        }
    }
    return bundle;
}

Bundle mainBundle()
{
    // /proc/self/exe names the running binary even before (or without) a Qt
    // application object.
    Bundle bundle = bundleForExecutable(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath());
    bundle.info = mainInfo();
    return bundle;
}

void setMainBundleInfo(QVariantMap info)
{
    mainInfo() = std::move(info);
}

} // namespace corvane::platform
