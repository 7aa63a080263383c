#pragma once

// The application's own description: its information keys and where it runs
// from. On Linux the keys are compiled in at build time, and an "application
// bundle" is an installed copy: the executable in PREFIX/bin beside
// PREFIX/share/applications/<identifier>.desktop, as `cmake --install` lays
// it out, or as the package does under /usr. A build-tree binary is not one. The information keys come from the
// executable itself, which sets them before anything else runs.

#include <QString>
#include <QVariantMap>

namespace corvane::platform {

inline const QString shortVersionKey = QStringLiteral("CFBundleShortVersionString");
// The update feed and the Base64 Ed25519 key its releases are signed with.
inline const QString feedURLKey = QStringLiteral("SUFeedURL");
inline const QString publicEDKeyKey = QStringLiteral("SUPublicEDKey");
// Seconds between the checks whether the browser is quiet enough to install
// a downloaded update.
inline const QString quietCheckKey = QStringLiteral("CVQuietCheckInterval");

struct Bundle {
    QVariantMap info;
    QString executablePath;
    // The installed prefix for an installed copy, else the executable's folder.
    QString location;
    bool isApplication = false;
    // Installed by the system's package manager, which then also updates it.
    bool fromPackage = false;
};

// The application identifier: names the .desktop file and the autostart entry.
QString bundleIdentifier();

// Called once by main() before any other thread starts; read-only after.
void setMainBundleInfo(QVariantMap info);

Bundle mainBundle();
// Where an executable at `executablePath` runs from; no information keys.
Bundle bundleForExecutable(const QString &executablePath);

} // namespace corvane::platform
