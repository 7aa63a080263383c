#include "WorkTab.h"

#include "AgentRunner.h"
#include "EventLog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace corvane {

const QStringList &workTabListArgs()
{
    static const QStringList args{QStringLiteral("tab"), QStringLiteral("list"), QStringLiteral("--json")};
    return args;
}

WorkTabState workTabState(const QString &listingOutput)
{
    const qsizetype brace = listingOutput.indexOf(QLatin1Char('{'));
    if (brace < 0)
        return WorkTabState::missing;
    // The tool may print warnings before the JSON; nothing may follow it.
    const QJsonDocument document = QJsonDocument::fromJson(listingOutput.mid(brace).toUtf8());
    if (!document.isObject())
        return WorkTabState::missing;
    const QJsonValue data = document.object().value(QStringLiteral("data"));
    if (!data.isObject())
        return WorkTabState::missing;
    const QJsonValue tabs = data.toObject().value(QStringLiteral("tabs"));
    if (!tabs.isArray())
        return WorkTabState::missing;
    const QJsonArray list = tabs.toArray();
    for (const QJsonValue &tab : list) {
        if (!tab.isObject())
            return WorkTabState::missing;
    }
    for (const QJsonValue &tab : list) {
        const QJsonObject object = tab.toObject();
        const QJsonValue label = object.value(QStringLiteral("label"));
        if (!label.isString() || label.toString() != workTabLabel)
            continue;
        const QJsonValue active = object.value(QStringLiteral("active"));
        return active.isBool() && active.toBool() ? WorkTabState::active : WorkTabState::listed;
    }
    return WorkTabState::missing;
}

bool focusWorkTabIfAny()
{
    switch (workTabState(runOnActivePort(workTabListArgs()))) {
    case WorkTabState::active:
        return true;
    case WorkTabState::missing:
        return false;
    case WorkTabState::listed:
        break;
    }
    const bool worked = workTabFocusWorked(runOnActivePort({QStringLiteral("tab"), workTabLabel}));
    companionLog(QStringLiteral("worktab.switch"), {{QStringLiteral("ok"), yesNo(worked)}});
    return worked;
}

QString openOnWorkTab(const QString &url)
{
    const QStringList args = focusWorkTabIfAny() ? QStringList{QStringLiteral("open"), url} : firstOpenArgs(url);
    return runOnActivePort(args);
}

bool workTabFocusWorked(const QString &output)
{
    return statusMark(output) == QChar(0x2713);
}

std::optional<QChar> statusMark(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed.front();
}

QStringList firstOpenArgs(const QString &url)
{
    return {QStringLiteral("tab"), QStringLiteral("new"), QStringLiteral("--label"), workTabLabel, url};
}

} // namespace corvane
