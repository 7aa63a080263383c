#include "menu/CompanionMenu.h"

#include "driver/HandOver.h"

#include "link/LinkStore.h"

namespace corvane {

QString menuBarTitle(bool chrome, bool linked, bool connected)
{
    if (!chrome)
        return QStringLiteral("\u26A0\uFE0E");
    if (!linked)
        return QString();
    return connected ? QStringLiteral("\u2713") : QStringLiteral("\u2026");
}

QString menuStatusText(bool chrome, bool linked, bool connected)
{
    if (!chrome)
        return QStringLiteral("Corvane: Chrome off");
    if (!linked)
        return QStringLiteral("Corvane: Not linked");
    return connected ? QStringLiteral("Corvane: Linked") : QStringLiteral("Corvane: Connecting");
}

QString linkStatusLine(std::optional<LinkPhase> phase, const QString &label)
{
    switch (phase.value_or(LinkPhase::off)) {
    case LinkPhase::waiting:
        return QStringLiteral("Waiting for ") + label;
    case LinkPhase::idle:
        return QStringLiteral("Connected to ") + label;
    case LinkPhase::socketDown:
        return QStringLiteral("Socket down \u2014 not connected to ") + label;
    case LinkPhase::connecting:
        return QStringLiteral("Connecting to ") + label + QChar(0x2026);
    case LinkPhase::off:
    case LinkPhase::refresh:
    case LinkPhase::badHost:
        break;
    }
    return QStringLiteral("Connecting to ") + label;
}

bool isConnected(LinkPhase phase)
{
    return phase == LinkPhase::idle;
}

QString menuTitle(const MenuState &state)
{
    if (state.loopbackFailed)
        return menuBarErrorTitle;
    return menuBarTitle(state.chrome, state.linkHostLabel.has_value(), isConnected(state.phase));
}

QString agentStatusLine(const AgentView &agent)
{
    const QString doing = agent.handedOver ? QStringLiteral("handed over to you")
        : agent.busy                       ? QStringLiteral("busy")
                                           : QStringLiteral("idle");
    // A page's title, printed to a terminal too: none of its control characters.
    QString title = agent.title.isEmpty() ? QStringLiteral("no page yet") : agent.title.left(60);
    for (QChar &c : title) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            c = QLatin1Char(' ');
    }
    return QStringLiteral("%1 \u2014 %2 \u2014 %3").arg(agent.name, title, doing);
}

QString handBackTitleFor(const QString &agent)
{
    return agent.isEmpty() ? handBackTitle : handBackTitle + QStringLiteral(" (%1)").arg(agent);
}

QList<MenuItem> menuItems(const MenuState &state)
{
    const bool linked = state.linkHostLabel.has_value();
    const auto action = [](const QString &title, MenuAction what) {
        MenuItem item;
        item.title = title;
        item.action = what;
        return item;
    };
    const auto info = [&](const QString &title) { return action(title, MenuAction::None); };
    MenuItem separator;
    separator.separator = true;

    QList<MenuItem> items;
    // First, while the person has the browser: the way to give it back.
    if (state.handOverWaiting)
        items << action(handBackTitle, MenuAction::HandBack);
    for (const AgentView &agent : state.agents) {
        if (agent.handedOver) {
            MenuItem back = action(handBackTitleFor(agent.name), MenuAction::HandBack);
            back.agent = agent.name;
            items << back;
        }
    }
    if (!items.isEmpty())
        items << separator;
    items << info(state.loopbackFailed ? menuErrorStatus
                                       : menuStatusText(state.chrome, linked, isConnected(state.phase)));
    items << info(state.chrome ? QStringLiteral("Chrome debugging is on") : QStringLiteral("Chrome debugging is off"));
    items << info(state.chromeProfileLine);
    if (!state.chrome)
        items << action(QStringLiteral("Open Chrome for debugging"), MenuAction::OpenChrome);
    items << action(QStringLiteral("Sign in to sites in this Chrome profile\u2026"), MenuAction::OpenChromeSignIn);
    items << separator;
    if (linked) {
        items << info(linkStatusLine(state.phase, *state.linkHostLabel));
        items << action(QStringLiteral("Disconnect Chat"), MenuAction::DisconnectChat);
    } else {
        items << action(QStringLiteral("Connect to ") + chatHostLabel(productionChat), MenuAction::ConnectProd);
        items << action(QStringLiteral("Connect to local Chat"), MenuAction::ConnectLocal);
    }
    items << separator;
    if (!state.agents.isEmpty()) {
        items << info(QStringLiteral("Assistants at work: %1").arg(state.agents.size()));
        for (const AgentView &agent : state.agents) {
            items << info(agentStatusLine(agent));
            MenuItem stop = action(QStringLiteral("Stop %1").arg(agent.name), MenuAction::StopAgent);
            stop.agent = agent.name;
            items << stop;
        }
        items << separator;
    }
    if (state.isApplication) {
        MenuItem login = action(QStringLiteral("Start at Login"), MenuAction::ToggleLaunchAtLogin);
        login.checked = state.launchAtLoginOn;
        items << login;
    }
    items << info(QStringLiteral("Version ") + state.version);
    if (state.updatesRunning)
        items << action(QStringLiteral("Check for Updates\u2026"), MenuAction::CheckForUpdates);
    MenuItem quit = action(QStringLiteral("Quit"), MenuAction::Quit);
    quit.keyEquivalent = QStringLiteral("q");
    items << quit;
    return items;
}

} // namespace corvane
