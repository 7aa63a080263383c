#pragma once

// How a command reaches the tool: never on its command line, which every
// account of the machine can read, but on its standard input, as its `batch`
// command takes it. And how the answer of a JSON batch reads as the tool's
// own JSON answer to that one command.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace corvane {

// The arguments of a tool command that are free text: what is typed, filled
// or said to a dialog. They are never logged; an args label shows their
// length instead.
QList<qsizetype> freeTextPositions(const QStringList &args);

// The tool's answer is wanted as JSON: "--json" stands among the arguments
// other than their free text.
bool wantsJson(const QStringList &args);

// What follows the runner's own options on the command line, and what the
// tool reads on its standard input, for one command.
struct ToolInvocation {
    // "batch" ("--json" after it for a JSON answer), after the companion's
    // own screenshot options when the command carries them
    QStringList arguments;
    QByteArray input;      // the command as a JSON array of argument arrays
};
ToolInvocation toolInvocation(const QStringList &args);

// The answer of a JSON batch of one command, as the tool prints it for that
// command alone: {"success":…,"data":…,"error":…} and "warning" when there is
// one, each value exactly as the tool wrote it. None when it is not such an
// answer.
std::optional<QString> singleAnswer(const QString &batchOutput);

} // namespace corvane
