#pragma once

// The login item service: on Linux an XDG autostart entry,
// $XDG_CONFIG_HOME/autostart/<identifier>.desktop, that starts an executable
// when the user logs in. Its status uses the reference platform's numbers.

#include "Bundle.h"

#include <QString>

#include <optional>

namespace corvane::platform {

inline constexpr int loginItemNotRegistered = 0;
inline constexpr int loginItemEnabled = 1;

class LoginItemService {
public:
    // The entry for the application itself.
    static LoginItemService mainApp(const Bundle &bundle);

    QString entryPath() const;
    // Enabled while the entry exists and is not hidden (a desktop's own
    // settings switch entries off with Hidden=true).
    int status() const;
    // The error's description, none on success.
    std::optional<QString> registerItem() const;
    std::optional<QString> unregisterItem() const;

    // The entry's text for an executable.
    static QByteArray entryText(const QString &executablePath);

private:
    QString executablePath_;
};

} // namespace corvane::platform
