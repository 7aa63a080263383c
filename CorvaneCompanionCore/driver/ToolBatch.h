#pragma once

// How commands reach the tool: never on its command line, which every
// account of the machine can read, but on its standard input, as its `batch`
// command takes them. And how the answers of a JSON batch read as the tool's
// own answer to each command.

#include <QByteArray>
#include <QMap>
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
    QByteArray input; // the command as a JSON array of argument arrays
};
ToolInvocation toolInvocation(const QStringList &args);

// Several commands in one JSON batch: each answers on its own, whatever it
// asked for (a command's own "--json" is dropped).
ToolInvocation batchInvocation(const QList<QStringList> &commands);

// The answer of a JSON batch of one command, as the tool prints it for that
// command alone: {"success":…,"data":…,"error":…} and "warning" when there is
// one, each value exactly as the tool wrote it. None when it is not such an
// answer.
std::optional<QString> singleAnswer(const QString &batchOutput);

// Each answer of a JSON batch, in the form singleAnswer gives; none when the
// output is not such a batch.
std::optional<QStringList> batchAnswers(const QString &batchOutput);

// The members of the JSON object that starts at `at` in `text`, each value as
// the text it was written with. The caller has checked that it is valid JSON.
QMap<QString, QStringView> rawMembers(QStringView text, qsizetype at);

// An answer in the tool's own form from the JSON object at `objectAt`: its
// data is the member `dataKey` ("result" in a batch's array, "data" in a
// reply of the background process).
QString answerFrom(QStringView text, qsizetype objectAt, QLatin1String dataKey);

// What the tool prints for a command without "--json", made from its
// answer: its warning, then the failure mark with the error, or a snapshot's
// text. Other answers print nothing that a step reads.
QString answerText(const QString &answer);

} // namespace corvane
