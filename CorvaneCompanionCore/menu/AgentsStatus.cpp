#include "menu/AgentsStatus.h"

#include "diagnostics/EventLog.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace corvane {

namespace {

// The agents are few; a file larger than this is not ours.
constexpr qint64 agentsFileLimit = 64 * 1024;

} // namespace

QString companionAgentsURL()
{
    return companionLogDir() + QStringLiteral("/agents.json");
}

void writeAgentsStatus(const QList<AgentView> &agents)
{
    QJsonArray list;
    for (const AgentView &agent : agents) {
        list.append(QJsonObject {{QStringLiteral("name"), agent.name},
                                 {QStringLiteral("title"), agent.title.left(200)},
                                 {QStringLiteral("busy"), agent.busy},
                                 {QStringLiteral("handed_over"), agent.handedOver}});
    }
    QSaveFile file(companionAgentsURL());
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(QJsonDocument(QJsonObject {{QStringLiteral("agents"), list}}).toJson(QJsonDocument::Indented));
    file.commit();
}

std::optional<QList<AgentView>> readAgentsStatus()
{
    QFile file(companionAgentsURL());
    if (!file.open(QIODevice::ReadOnly) || file.size() > agentsFileLimit)
        return std::nullopt;
    const QJsonValue list = QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("agents"));
    if (!list.isArray())
        return std::nullopt;
    QList<AgentView> agents;
    for (const QJsonValue &entry : list.toArray()) {
        const QJsonObject agent = entry.toObject();
        agents.append({agent.value(QStringLiteral("name")).toString(), agent.value(QStringLiteral("title")).toString(),
                       agent.value(QStringLiteral("busy")).toBool(),
                       agent.value(QStringLiteral("handed_over")).toBool()});
    }
    return agents;
}

} // namespace corvane
