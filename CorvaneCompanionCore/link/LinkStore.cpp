#include "link/LinkStore.h"

#include "diagnostics/JobActivity.h"

#include "BuildFacts.h"
#include "Bundle.h"
#include "UserPaths.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSaveFile>

#include <array>

namespace corvane {

const QString productionChat = QString::fromUtf8(build::productionChat);
const QString localChat = QString::fromUtf8(build::localChat);

namespace {

constexpr int tokenBytes = 18;

QString linkFolder()
{
    return platform::applicationSupportDir() + QStringLiteral("/CorvaneCompanion");
}

QString stringMember(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

} // namespace

std::optional<QUrl> parsedURL(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

std::optional<QUrl> CompanionLink::connectURL() const
{
    return parsedURL(host + QStringLiteral("/companion/connect?token=") + token);
}

std::optional<QUrl> CompanionLink::socketURL() const
{
    QString mapped = host;
    if (mapped.startsWith(QLatin1String("https://")))
        mapped.replace(0, 8, QStringLiteral("wss://"));
    else if (mapped.startsWith(QLatin1String("http://")))
        mapped.replace(0, 7, QStringLiteral("ws://"));
    // Only letters and digits pass unencoded; the parsed URL spells encoded
    // dots as dots again, which names the same URI.
    const QByteArray version
        = companionVersion(platform::mainBundle()).toUtf8().toPercentEncoding(QByteArray(), "-._~");
    return parsedURL(mapped + QStringLiteral("/api/assistant/companion/socket?token=") + token + QStringLiteral("&v=")
                     + QString::fromLatin1(version));
}

QString linkFileURL()
{
    platform::makePrivateDir(linkFolder());
    return linkFolder() + QStringLiteral("/link.json");
}

std::optional<CompanionLink> loadLink()
{
    QFile file(linkFileURL());
    // A link is a few dozen bytes; a file far larger is not one.
    constexpr qint64 linkFileLimit = 64 * 1024;
    if (!file.open(QIODevice::ReadOnly) || file.size() > linkFileLimit)
        return std::nullopt;
    return linkFromFileBytes(file.read(linkFileLimit));
}

std::optional<CompanionLink> linkFromFileBytes(const QByteArray &bytes)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    CompanionLink link {stringMember(document.object(), QStringLiteral("host")),
                        stringMember(document.object(), QStringLiteral("token"))};
    if (link.host.isEmpty() || link.token.isEmpty())
        return std::nullopt;
    return link;
}

void saveLink(const CompanionLink &link)
{
    const QByteArray bytes
        = QJsonDocument(QJsonObject {{QStringLiteral("host"), link.host}, {QStringLiteral("token"), link.token}})
              .toJson(QJsonDocument::Indented);
    const QString path = linkFileURL();
    // The token is the only credential: the folder and the file are the
    // user's alone, also when an older folder was made with wider rights.
    QFile::setPermissions(linkFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    if (!file.setPermissions(QFile::ReadOwner | QFile::WriteOwner)) {
        file.cancelWriting();
        return;
    }
    file.write(bytes);
    file.commit();
}

void clearLink()
{
    QFile::remove(linkFileURL());
}

QString newLinkToken()
{
    std::array<quint32, (tokenBytes + 3) / 4> words {};
    QRandomGenerator::system()->generate(words.begin(), words.end());
    const QByteArray bytes(reinterpret_cast<const char *>(words.data()), tokenBytes);
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

bool connectAllowed(const std::optional<CompanionLink> &existing)
{
    return !existing.has_value();
}

QString chatHostLabel(const QString &host)
{
    const QUrl url(host);
    if (url.isValid() && !url.host().isEmpty())
        return url.host();
    return host;
}

} // namespace corvane
