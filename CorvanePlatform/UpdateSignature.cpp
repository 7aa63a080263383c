#include "UpdateSignature.h"

#include <openssl/evp.h>

#include <memory>
#include <optional>

namespace corvane::platform {

namespace {

constexpr qsizetype publicKeyBytes = 32;
constexpr qsizetype signatureBytes = 64;

std::optional<QByteArray> decodeBase64(const QString &text, qsizetype expectedBytes)
{
    const auto decoded
        = QByteArray::fromBase64Encoding(text.trimmed().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != expectedBytes)
        return std::nullopt;
    return decoded.decoded;
}

} // namespace

bool isEd25519PublicKey(const QString &publicKeyBase64)
{
    return decodeBase64(publicKeyBase64, publicKeyBytes).has_value();
}

SignatureCheck checkEd25519Signature(const QByteArray &data, const QString &signatureBase64,
                                     const QString &publicKeyBase64)
{
    SignatureCheck check;
    const std::optional<QByteArray> key = decodeBase64(publicKeyBase64, publicKeyBytes);
    if (!key) {
        check.error = QStringLiteral("the built-in public key is not an Ed25519 key");
        return check;
    }
    const std::optional<QByteArray> signature = decodeBase64(signatureBase64, signatureBytes);
    if (!signature) {
        check.error = QStringLiteral("the signature is not a Base64 Ed25519 signature");
        return check;
    }
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                    reinterpret_cast<const unsigned char *>(key->constData()), size_t(key->size())),
        &EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!pkey || !context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) {
        check.error = QStringLiteral("Ed25519 verification is not available");
        return check;
    }
    // Ed25519 signs the message itself: one call, no digest updates.
    const int verdict
        = EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(signature->constData()),
                           size_t(signature->size()), reinterpret_cast<const unsigned char *>(data.constData()),
                           size_t(data.size()));
    if (verdict != 1) {
        check.error = QStringLiteral("the signature does not match the download");
        return check;
    }
    check.ok = true;
    return check;
}

} // namespace corvane::platform
