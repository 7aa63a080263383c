#pragma once

// Releases made the way a publisher makes them: an installed layout packed
// with tar, signed with tools/release/update-signing, offered in an appcast.

#include <QByteArray>
#include <QList>
#include <QString>

namespace corvane::test {

struct SigningKey {
    QString privateKeyPath;
    QString publicKey; // Base64, as a build is given it

    // A new key in `folder`.
    static SigningKey make(const QString &folder);
    // The key at `path`, made at configure time for the test builds.
    static SigningKey at(const QString &path);
};

// PREFIX/bin/corvane-companion (a copy of `executable`, or a small script
// when empty), its desktop entry, icon and version file: what
// `cmake --install` lays out. No version file when `version` is empty.
QString makeInstalledLayout(const QString &prefix, const QString &executable = {},
                            const QString &version = QStringLiteral("0.1.0"));

struct FileSignature {
    qint64 length = 0;
    QString signature; // Base64
};

// What `update-signing sign` gives for the file.
FileSignature signFile(const QString &path, const SigningKey &key);

struct SignedArchive {
    QByteArray bytes;
    qint64 length = 0;
    QString signature;
};

// Packs the layout under `prefix` into `archivePath` and signs it.
SignedArchive packRelease(const QString &prefix, const QString &archivePath, const SigningKey &key);

struct FeedItem {
    QString version;
    QString url;
    qint64 length = 0;
    QString signature;
    QString os = QStringLiteral("linux");
    QString shortVersion = {}; // sparkle:shortVersionString; none when empty
};

QByteArray appcastFeed(const QList<FeedItem> &items);

// An HTTP reply for TestHttpServer.
QByteArray httpReply(const QByteArray &status, const QByteArray &contentType, const QByteArray &body);

} // namespace corvane::test
