#include "UpdateRelease.h"

#include "Bundle.h"
#include "TempHome.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

namespace corvane::test {

namespace {

QByteArray run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        ADD_FAILURE() << program.toStdString() << ' ' << arguments.join(QLatin1Char(' ')).toStdString()
                      << " failed: " << process.readAllStandardError().toStdString();
        return {};
    }
    return process.readAllStandardOutput();
}

QString signingTool()
{
    return QStringLiteral(CORVANE_UPDATE_SIGNING_TOOL);
}

QString attribute(const QByteArray &line, const QByteArray &name)
{
    const qsizetype start = line.indexOf(name + "=\"");
    if (start < 0)
        return {};
    const qsizetype from = start + name.size() + 2;
    return QString::fromUtf8(line.mid(from, line.indexOf('"', from) - from));
}

} // namespace

SigningKey SigningKey::make(const QString &folder)
{
    const QString path = folder + QStringLiteral("/update-key.pem");
    run(signingTool(), {QStringLiteral("new-key"), path});
    return at(path);
}

SigningKey SigningKey::at(const QString &path)
{
    SigningKey key;
    key.privateKeyPath = path;
    key.publicKey = QString::fromUtf8(run(signingTool(), {QStringLiteral("public-key"), path}).trimmed());
    return key;
}

QString makeInstalledLayout(const QString &prefix, const QString &executable, const QString &version)
{
    const QString id = platform::bundleIdentifier();
    for (const char *folder : {"bin", "share/applications", "share/icons/hicolor/scalable/apps"})
        QDir().mkpath(prefix + QLatin1Char('/') + QLatin1String(folder));
    const QString installed = prefix + QStringLiteral("/bin/corvane-companion");
    QFile::remove(installed);
    if (executable.isEmpty())
        writeFile(installed, "#!/bin/sh\necho stand-in\n");
    else
        QFile::copy(executable, installed);
    QFile::setPermissions(installed,
                          QFile::permissions(installed) | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
    writeFile(prefix + QStringLiteral("/share/applications/") + id + QStringLiteral(".desktop"),
              "[Desktop Entry]\nType=Application\nName=Corvane Companion\n");
    writeFile(prefix + QStringLiteral("/share/icons/hicolor/scalable/apps/") + id + QStringLiteral(".svg"), "<svg/>\n");
    if (!version.isEmpty())
        writeFile(prefix + QStringLiteral("/share/") + id + QStringLiteral("/version"), version.toUtf8() + "\n");
    return installed;
}

FileSignature signFile(const QString &path, const SigningKey &key)
{
    const QByteArray attributes = run(signingTool(), {QStringLiteral("sign"), key.privateKeyPath, path});
    FileSignature signature;
    signature.length = attribute(attributes, "length").toLongLong();
    signature.signature = attribute(attributes, "sparkle:edSignature");
    return signature;
}

SignedArchive packRelease(const QString &prefix, const QString &archivePath, const SigningKey &key)
{
    run(QStringLiteral("tar"),
        {QStringLiteral("-czf"), archivePath, QStringLiteral("-C"), prefix, QStringLiteral(".")});
    const FileSignature signature = signFile(archivePath, key);
    SignedArchive archive;
    archive.bytes = readFile(archivePath);
    archive.length = signature.length;
    archive.signature = signature.signature;
    return archive;
}

QByteArray appcastFeed(const QList<FeedItem> &items)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                     "<rss version=\"2.0\" xmlns:sparkle=\"urn:test:appcast\">\n<channel>\n<title>Corvane</title>\n";
    for (const FeedItem &item : items) {
        xml += "<item><title>Corvane Companion " + item.version.toUtf8() + "</title>" + "<enclosure url=\""
            + item.url.toUtf8() + "\" length=\"" + QByteArray::number(item.length)
            + "\" type=\"application/gzip\" sparkle:os=\"" + item.os.toUtf8() + "\" sparkle:version=\""
            + item.version.toUtf8() + "\" sparkle:edSignature=\"" + item.signature.toUtf8() + "\""
            + (item.shortVersion.isEmpty() ? QByteArray()
                                           : " sparkle:shortVersionString=\"" + item.shortVersion.toUtf8() + "\"")
            + "/></item>\n";
    }
    return xml + "</channel>\n</rss>\n";
}

QByteArray httpReply(const QByteArray &status, const QByteArray &contentType, const QByteArray &body)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + contentType
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

} // namespace corvane::test
