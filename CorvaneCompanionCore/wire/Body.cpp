#include "wire/Body.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringDecoder>
#include <QStringEncoder>

namespace corvane {

QString utf8OrEmpty(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(bytes);
    return utf8.hasError() ? QString() : text;
}

QString jsonValueText(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    QByteArray text = QJsonDocument(QJsonArray {value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(text.mid(1, text.size() - 2)); // drop the array's brackets
}

std::optional<QJsonObject> jsonObjectFromText(const QString &text)
{
    QStringEncoder utf8(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
    const QByteArray bytes = utf8(text);
    if (utf8.hasError())
        return std::nullopt; // unpaired surrogates: no lossy conversion
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

Body parseJSONBody(const QString &text)
{
    const std::optional<QJsonObject> object = jsonObjectFromText(text);
    return object ? bodyFromObject(*object) : Body();
}

Body bodyFromObject(const QJsonObject &object)
{
    Body body;
    for (auto it = object.begin(); it != object.end(); ++it)
        body.insert(it.key(), jsonValueText(it.value()));
    return body;
}

} // namespace corvane
