#pragma once

// The tool's own program is a thin client: it sends its session's background
// process one JSON request per line and prints the reply. This is that
// request language for the pinned version of the tool: which request each
// command becomes, and what the program prints for a reply. It is the
// tool's own and undocumented, so it holds for that version alone.

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace corvane {

// The version of the tool whose requests these are ("agent-browser 0.41.2"
// is what its --version prints).
inline constexpr char keptRequestsVersion[] = "0.41.2";

struct ToolRequest {
    QJsonObject fields; // everything but the request's "id"
    bool json = false; // the answer is wanted as JSON ("--json")

    QString action() const { return fields.value(QStringLiteral("action")).toString(); }
};

// The request the program sends for `args` (a command as the runner gets
// it: "--json" and the companion's screenshot options among its words);
// none for a command without a row in the table, which then runs as a
// process.
std::optional<ToolRequest> toolRequest(const QStringList &args);

// What the program sends first on every run with "--cdp": it attaches the
// background process to that Chrome, or finds it attached already.
QJsonObject launchRequest(qint64 cdp);

// A reply as the program prints it with "--json" inside a batch, in the
// form the runner gives data runs: {"success":…,"data":…,"error":…} and
// "warning" when there is one, each value as the tool wrote it.
QString replyAnswer(QStringView reply);

// What the program prints for `reply` to a request of `action` without
// "--json", standard error and output together; none when the reply holds
// something the program would print in a way this table does not know.
std::optional<QString> replyText(const QString &action, QStringView reply);

} // namespace corvane
