#include "driver/ToolBatch.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

namespace corvane {

namespace {

const QString jsonFlag = QStringLiteral("--json");

bool isSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r');
}

// Where the JSON value that starts at `at` ends (one past it); -1 when it
// does not end. Strings are skipped with their escapes, containers by depth.
qsizetype valueEnd(QStringView text, qsizetype at)
{
    int depth = 0;
    bool inString = false;
    for (qsizetype i = at; i < text.size(); ++i) {
        const QChar c = text[i];
        if (inString) {
            if (c == QLatin1Char('\\'))
                ++i;
            else if (c == QLatin1Char('"')) {
                inString = false;
                if (depth == 0)
                    return i + 1;
            }
            continue;
        }
        if (c == QLatin1Char('"')) {
            inString = true;
        } else if (c == QLatin1Char('{') || c == QLatin1Char('[')) {
            ++depth;
        } else if (c == QLatin1Char('}') || c == QLatin1Char(']')) {
            if (depth == 0)
                return i; // the end of a literal inside its container
            if (--depth == 0)
                return i + 1;
        } else if (depth == 0 && (c == QLatin1Char(',') || isSpace(c))) {
            return i;
        }
    }
    return depth == 0 && !inString ? text.size() : -1;
}

} // namespace

QMap<QString, QStringView> rawMembers(QStringView text, qsizetype at)
{
    QMap<QString, QStringView> members;
    qsizetype i = at + 1; // past "{"
    const auto skipSpace = [&] {
        while (i < text.size() && isSpace(text[i]))
            ++i;
    };
    for (;;) {
        skipSpace();
        if (i >= text.size() || text[i] != QLatin1Char('"'))
            return members; // "}"
        const qsizetype keyEnd = valueEnd(text, i);
        if (keyEnd < 0)
            return members;
        const QString key
            = QJsonDocument::fromJson("[" + text.mid(i, keyEnd - i).toUtf8() + "]").array().at(0).toString();
        i = keyEnd;
        skipSpace();
        ++i; // ":"
        skipSpace();
        const qsizetype end = valueEnd(text, i);
        if (end < 0)
            return members;
        members.insert(key, text.mid(i, end - i));
        i = end;
        skipSpace();
        if (i < text.size() && text[i] == QLatin1Char(','))
            ++i;
    }
}

QList<qsizetype> freeTextPositions(const QStringList &args)
{
    const QString verb = args.value(0);
    qsizetype from = args.size();
    if (verb == QLatin1String("fill") || verb == QLatin1String("type"))
        from = 2;
    else if (verb == QLatin1String("keyboard") && args.size() > 1)
        from = 2;
    else if (verb == QLatin1String("dialog") && args.value(1) == QLatin1String("accept"))
        from = 2;
    else if (verb == QLatin1String("find")
             && (args.value(3) == QLatin1String("fill") || args.value(3) == QLatin1String("type")))
        from = 4;
    QList<qsizetype> positions;
    for (qsizetype i = from; i < args.size(); ++i)
        positions.append(i);
    return positions;
}

bool wantsJson(const QStringList &args)
{
    const QList<qsizetype> texts = freeTextPositions(args);
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == jsonFlag && !texts.contains(i))
            return true;
    }
    return false;
}

namespace {

// Options of the program, not of a command, which a batch's commands do not
// take: the companion's own screenshot settings (never a request's). They
// move from `command` to `programOptions`.
void moveProgramOptions(QStringList &command, QStringList &programOptions)
{
    const QList<qsizetype> texts = freeTextPositions(command);
    for (const QString &option : {QStringLiteral("--screenshot-format"), QStringLiteral("--screenshot-quality")}) {
        const qsizetype at = command.indexOf(option);
        if (at >= 0 && at + 1 < command.size() && !texts.contains(at)) {
            programOptions << command.at(at) << command.at(at + 1);
            command.remove(at, 2);
        }
    }
}

QByteArray commandsInput(const QList<QStringList> &commands)
{
    // Appended, not braced: clang reads QJsonArray{anArray} as a copy of it.
    QJsonArray list;
    for (const QStringList &command : commands)
        list.append(QJsonArray::fromStringList(command));
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
}

} // namespace

QString answerFrom(QStringView text, qsizetype objectAt, QLatin1String dataKey)
{
    const QMap<QString, QStringView> members = rawMembers(text, objectAt);
    const auto raw = [&](QLatin1String key) {
        const QStringView value = members.value(key);
        return value.isEmpty() ? QStringLiteral("null") : value.toString();
    };
    QString answer = QStringLiteral("{\"success\":") + raw(QLatin1String("success")) + QStringLiteral(",\"data\":")
        + raw(dataKey) + QStringLiteral(",\"error\":") + raw(QLatin1String("error"));
    if (members.contains(QStringLiteral("warning")))
        answer += QStringLiteral(",\"warning\":") + raw(QLatin1String("warning"));
    return answer + QLatin1Char('}');
}

ToolInvocation toolInvocation(const QStringList &args)
{
    ToolInvocation invocation;
    QStringList command = args;
    moveProgramOptions(command, invocation.arguments);
    invocation.arguments.append(QStringLiteral("batch"));
    if (wantsJson(args)) {
        invocation.arguments.append(jsonFlag);
        // Before the action word it is an option of the program, which a
        // batch's command does not take.
        if (command.value(0) == jsonFlag)
            command.removeFirst();
    }
    invocation.input = commandsInput({command});
    return invocation;
}

ToolInvocation batchInvocation(const QList<QStringList> &commands)
{
    ToolInvocation invocation;
    QList<QStringList> list;
    for (QStringList command : commands) {
        moveProgramOptions(command, invocation.arguments);
        const QList<qsizetype> texts = freeTextPositions(command);
        for (qsizetype i = command.size() - 1; i >= 0; --i) {
            if (command.at(i) == jsonFlag && !texts.contains(i))
                command.removeAt(i);
        }
        list.append(command);
    }
    invocation.arguments << QStringLiteral("batch") << jsonFlag;
    invocation.input = commandsInput(list);
    return invocation;
}

std::optional<QString> singleAnswer(const QString &batchOutput)
{
    const std::optional<QStringList> answers = batchAnswers(batchOutput);
    if (!answers || answers->size() != 1)
        return std::nullopt;
    return answers->front();
}

std::optional<QStringList> batchAnswers(const QString &batchOutput)
{
    const QString trimmed = batchOutput.trimmed();
    const QJsonDocument document = QJsonDocument::fromJson(trimmed.toUtf8());
    if (!document.isArray())
        return std::nullopt;
    const QJsonArray array = document.array();
    QStringList answers;
    qsizetype at = 1; // past "["
    for (const QJsonValue &element : array) {
        if (!element.isObject())
            return std::nullopt;
        at = trimmed.indexOf(QLatin1Char('{'), at);
        answers.append(answerFrom(trimmed, at, QLatin1String("result")));
        at = valueEnd(trimmed, at);
    }
    return answers;
}

QString answerText(const QString &answer)
{
    const QJsonObject object = QJsonDocument::fromJson(answer.toUtf8()).object();
    const QString warning = object.value(QStringLiteral("warning")).toString();
    const QString warningLine = warning.isEmpty() ? QString() : QStringLiteral("\u26A0 ") + warning + QLatin1Char('\n');
    // As the tool prints them: a failure before its warning, a warning before
    // what a command that worked shows.
    if (object.value(QStringLiteral("success")) != QJsonValue(true)) {
        const QString error = object.value(QStringLiteral("error")).toString();
        return QStringLiteral("\u2717 ") + (error.isEmpty() ? QStringLiteral("Unknown error") : error)
            + QLatin1Char('\n') + warningLine;
    }
    const QJsonValue snapshot = object.value(QStringLiteral("data")).toObject().value(QStringLiteral("snapshot"));
    return snapshot.isString() ? warningLine + snapshot.toString() + QLatin1Char('\n') : warningLine;
}

} // namespace corvane
