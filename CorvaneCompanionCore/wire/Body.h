#pragma once

// A request's body as every channel reads it: a map of texts, from JSON
// objects, and text from bytes only when they are valid UTF-8.

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QString>

#include <optional>

namespace corvane {

using Body = QMap<QString, QString>;

// The members of a JSON object as texts; anything that is not a JSON object
// gives the empty map.
Body parseJSONBody(const QString &text);
// Text that is valid UTF-8 and holds a JSON object; none otherwise.
std::optional<QJsonObject> jsonObjectFromText(const QString &text);
// The members of an object as texts: strings unchanged, others as JSON.
Body bodyFromObject(const QJsonObject &object);

// Bytes from outside (a request, a tool's output) as text; bytes that are not
// valid UTF-8 give the empty text rather than a lossy guess.
QString utf8OrEmpty(const QByteArray &bytes);

// The text a non-string JSON value stands for in a body: its compact JSON.
QString jsonValueText(const QJsonValue &value);

} // namespace corvane
