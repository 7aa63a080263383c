#include "driver/PageDialog.h"

#include "driver/ToolRun.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace corvane {

namespace {

thread_local DialogWatch *currentWatch = nullptr;

std::optional<PageDialog> dialogInText(const QString &text)
{
    // A warning `A JavaScript confirm dialog is blocking the page: "sure?" — use ...`
    // and a failure `A JavaScript confirm dialog is blocking the page: "sure?". Resolve ...`
    static const QRegularExpression report(
        QStringLiteral("A JavaScript (\\S+) dialog is blocking the page: \"(.*?)\"(?: \u2014 use|\\. Resolve|$)"),
        QRegularExpression::DotMatchesEverythingOption | QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = report.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    return PageDialog{match.captured(1), match.captured(2)};
}

} // namespace

std::optional<PageDialog> blockingDialog(const QString &output)
{
    if (!output.contains(QLatin1String("dialog is blocking the page")))
        return std::nullopt;
    const qsizetype brace = output.indexOf(QLatin1Char('{'));
    if (brace >= 0) {
        const QJsonObject object = QJsonDocument::fromJson(output.mid(brace).section(QLatin1Char('\n'), 0, 0).toUtf8()).object();
        for (const char *key : {"warning", "error"}) {
            if (std::optional<PageDialog> dialog = dialogInText(object.value(QLatin1String(key)).toString()))
                return dialog;
        }
    }
    return dialogInText(output);
}

QString dialogText(const PageDialog &dialog)
{
    return QStringLiteral("The page is showing a %1 dialog: \"%2\". Answer it with the cli command \"dialog accept\" or "
                          "\"dialog dismiss\".")
        .arg(dialog.kind, dialog.message);
}

DialogWatch::DialogWatch(bool armed)
    : armed_(armed)
    , outer_(currentWatch)
{
    currentWatch = this;
}

DialogWatch::~DialogWatch()
{
    currentWatch = outer_;
}

DialogWatch *DialogWatch::current()
{
    return currentWatch && currentWatch->armed_ ? currentWatch : nullptr;
}

void DialogWatch::see(const ToolRun &run)
{
    if (!seen_)
        seen_ = run.dialog;
}

} // namespace corvane
