#include "driver/LocalTargets.h"

#include "chrome/ChromeDiscovery.h"
#include "chrome/PortCache.h"
#include "driver/DriverResult.h"
#include "wire/CompanionPort.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QRegularExpression>
#include <QUrl>

namespace corvane {

namespace {

int defaultPort(const QString &scheme)
{
    return scheme == QLatin1String("https") ? 443 : 80;
}

QString hostOf(const QUrl &url)
{
    QString host = url.host().toLower();
    while (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    return host;
}

// The ports that stay closed to the work whatever the user allows.
bool isPrivateEndpoint(int port)
{
    if (port == companionPort || port == activeChromePort(false) || chromeDebugPorts().contains(port))
        return true;
    static const QRegularExpression debugPort(QStringLiteral("--remote-debugging-port=(\\d+)"));
    for (const QString &line : chromeCommandLines()) {
        const QRegularExpressionMatch found = debugPort.match(line);
        if (found.hasMatch() && found.captured(1).toInt() == port)
            return true;
    }
    return false;
}

} // namespace

bool isLocalAddress(const QString &text)
{
    QHostAddress address(text);
    if (address.isNull())
        return false;
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    if (mapped)
        address = QHostAddress(ipv4);
    static const std::pair<QHostAddress, int> localNets[] = {
        {QHostAddress(QStringLiteral("0.0.0.0")), 8},      {QHostAddress(QStringLiteral("10.0.0.0")), 8},
        {QHostAddress(QStringLiteral("100.64.0.0")), 10},  {QHostAddress(QStringLiteral("127.0.0.0")), 8},
        {QHostAddress(QStringLiteral("169.254.0.0")), 16}, {QHostAddress(QStringLiteral("172.16.0.0")), 12},
        {QHostAddress(QStringLiteral("192.168.0.0")), 16}, {QHostAddress(QStringLiteral("::")), 128},
        {QHostAddress(QStringLiteral("::1")), 128},        {QHostAddress(QStringLiteral("fc00::")), 7},
        {QHostAddress(QStringLiteral("fe80::")), 10},      {QHostAddress(QStringLiteral("fec0::")), 10},
    };
    for (const auto &[net, bits] : localNets) {
        if (address.isInSubnet(net, bits))
            return true;
    }
    return false;
}

bool isAllowedLocalOrigin(const QString &url, const QString &allowed)
{
    const QUrl target(url);
    const QString scheme = target.scheme().toLower();
    const QString host = hostOf(target);
    const int port = target.port(defaultPort(scheme));
    for (QString origin : allowed.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        origin = origin.trimmed();
        const bool anyPort = origin.endsWith(QLatin1String(":*"));
        if (anyPort)
            origin.chop(2);
        const QUrl entry(origin);
        if (!entry.isValid() || entry.scheme().toLower() != scheme || hostOf(entry) != host)
            continue;
        if (anyPort || entry.port(defaultPort(scheme)) == port)
            return true;
    }
    return false;
}

std::optional<QString> localTargetRefusal(const QString &url, const SettingReader &setting)
{
    const QUrl target(url);
    const QString host = hostOf(target);
    if (host.isEmpty())
        return std::nullopt; // nothing the tool can reach either
    bool local = host == QLatin1String("localhost") || host.endsWith(QLatin1String(".localhost"));
    if (!local) {
        // Numeric forms (an IPv6 literal, "127.1", "0x7f000001") resolve to themselves.
        const QHostInfo resolved = QHostInfo::fromName(host);
        for (const QHostAddress &address : resolved.addresses())
            local = local || isLocalAddress(address.toString());
    }
    if (!local)
        return std::nullopt;
    if (isPrivateEndpoint(target.port(defaultPort(target.scheme().toLower()))))
        return privateEndpointRefusedText;
    const std::optional<QString> allowed
        = setting(QStringLiteral("CORVANE_LOCAL_ORIGINS"), QStringLiteral("localOrigins"));
    if (allowed && isAllowedLocalOrigin(url, *allowed))
        return std::nullopt;
    return localPageRefusedText;
}

} // namespace corvane
