#include "Bundle.h"

#include "BuildFacts.h"

#include <QDir>
#include <QFileInfo>

#include <utility>

namespace corvane::platform {

namespace {

QVariantMap &mainInfo()
{
    static QVariantMap info;
    return info;
}

} // namespace

QString bundleIdentifier()
{
    return QString::fromUtf8(build::bundleId);
}

Bundle bundleForExecutable(const QString &executablePath)
{
    Bundle bundle{{}, executablePath, {}, false};
    const QFileInfo executable(executablePath);
    const QDir folder = executable.absoluteDir();
    bundle.location = folder.absolutePath();
    if (folder.dirName() == QLatin1String("bin")) {
        const QString prefix = QFileInfo(folder.absolutePath()).absolutePath();
        const QString entry = prefix + QStringLiteral("/share/applications/") + bundleIdentifier() + QStringLiteral(".desktop");
        if (QFileInfo(entry).isFile()) {
            bundle.location = prefix;
            bundle.isApplication = true;
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
