#include "driver/PageDialog.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace corvane {

namespace {

// `A JavaScript confirm dialog is blocking the page: "sure?" — use ...` as a
// warning, and `... "sure?". Resolve it with ...` as a failure.
std::optional<PageDialog> dialogIn(const QString &report)
{
    static const QRegularExpression words(
        QStringLiteral("^A JavaScript (\\S+) dialog is blocking the page: \"(.*?)\"(?: \u2014 use|\\. Resolve|$)"),
        QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = words.match(report);
    if (!match.hasMatch())
        return std::nullopt;
    return PageDialog {match.captured(1), match.captured(2)};
}

} // namespace

std::optional<PageDialog> reportedDialog(const QString &errorOutput, const QString &jsonAnswer)
{
    // Each line of the tool's own: its mark, a space, then its words.
    for (const QString &line : errorOutput.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const qsizetype words = line.indexOf(QLatin1Char(' ')) + 1;
        if (words > 0 && words <= 3) {
            if (std::optional<PageDialog> dialog = dialogIn(line.mid(words)))
                return dialog;
        }
    }
    const QJsonObject answer = QJsonDocument::fromJson(jsonAnswer.toUtf8()).object();
    for (const char *key : {"warning", "error"}) {
        if (std::optional<PageDialog> dialog = dialogIn(answer.value(QLatin1String(key)).toString()))
            return dialog;
    }
    return std::nullopt;
}

QString dialogText(const PageDialog &dialog)
{
    return QStringLiteral(
               "The page is showing a %1 dialog: \"%2\". Answer it with the cli command \"dialog accept\" or "
               "\"dialog dismiss\".")
        .arg(dialog.kind, dialog.message);
}

} // namespace corvane
