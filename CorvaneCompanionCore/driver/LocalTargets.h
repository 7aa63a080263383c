#pragma once

// Pages on this machine or its local network are not the work's to open: a
// job could read the user's own services, Chrome's debugging endpoint among
// them, through the work tab. The user allows servers of their own by
// origin; the companion's port and Chrome's debugging endpoints never.

#include "chrome/ChromeTarget.h"

#include <QString>

#include <optional>

namespace corvane {

inline const QString localPageRefusedText = QStringLiteral(
    "This page is on this machine or its local network, which the work does not open. To allow a server of your "
    "own, add its origin to the setting CORVANE_LOCAL_ORIGINS (localOrigins), such as http://localhost:3000.");
inline const QString privateEndpointRefusedText = QStringLiteral(
    "This address is the companion's own port or a Chrome debugging endpoint, which the work never opens.");

// Whether a host address is loopback, private, link-local or unspecified
// (an IPv4 address inside IPv6 counts as itself).
bool isLocalAddress(const QString &address);

// Whether `url`'s origin is one of the comma-separated `allowed` origins;
// a port of "*" there matches any port.
bool isAllowedLocalOrigin(const QString &url, const QString &allowed);

// Why the work may not open `url`; none when it may. A host name is
// resolved first; one that does not resolve reaches nothing local.
std::optional<QString> localTargetRefusal(const QString &url, const SettingReader &setting = companionSetting);

} // namespace corvane
