#pragma once

// Ed25519 signatures of update archives. Keys and signatures travel as Base64
// of their raw bytes (32 and 64), as `openssl pkeyutl -sign -rawin` makes
// them and appcast feeds carry them.

#include <QByteArray>
#include <QString>

namespace corvane::platform {

struct SignatureCheck {
    bool ok = false;
    QString error; // why the data is not trusted
};

bool isEd25519PublicKey(const QString &publicKeyBase64);

SignatureCheck checkEd25519Signature(const QByteArray &data, const QString &signatureBase64,
                                     const QString &publicKeyBase64);

} // namespace corvane::platform
