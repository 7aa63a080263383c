#pragma once

// The application's own description: its information keys and where it runs
// from. On Linux the keys are compiled in at build time, and an "application
// bundle" is an installed copy: the executable in PREFIX/bin beside
// PREFIX/share/applications/<identifier>.desktop, as `cmake --install` lays
// it out. A build-tree binary is not one.

#include <QString>
#include <QVariantMap>

namespace corvane::platform {

inline const QString shortVersionKey = QStringLiteral("CFBundleShortVersionString");

struct Bundle {
    QVariantMap info;
    QString executablePath;
    // The installed prefix for an installed copy, else the executable's folder.
    QString location;
    bool isApplication = false;
};

// The application identifier: names the .desktop file and the autostart entry.
QString bundleIdentifier();

Bundle mainBundle();
// The bundle an executable at `executablePath` would have.
Bundle bundleForExecutable(const QString &executablePath);

} // namespace corvane::platform
