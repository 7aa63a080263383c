#pragma once

// The application's own description: its information keys. On Linux they are
// compiled in at build time rather than read from a bundle on disk.

#include <QString>
#include <QVariantMap>

namespace corvane::platform {

inline const QString shortVersionKey = QStringLiteral("CFBundleShortVersionString");

struct Bundle {
    QVariantMap info;
};

Bundle mainBundle();

} // namespace corvane::platform
