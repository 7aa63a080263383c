#pragma once

// What the companion's menu says, as plain data: the short title beside the
// icon and the items, computed whole from what the rest of the system reports
// at one moment. The application only renders it.

#include "driver/AgentView.h"
#include "link/LinkState.h"

#include <QList>
#include <QString>

#include <optional>

namespace corvane {

inline const QString menuBarErrorTitle = QStringLiteral("\u2717");
inline const QString menuErrorStatus
    = QStringLiteral("Corvane: Error \u2014 Companion could not start its local server");

QString menuBarTitle(bool chrome, bool linked, bool connected);
QString menuStatusText(bool chrome, bool linked, bool connected);
// The link line for the loop's phase and the link's host label; a phase
// that is none of ours (the status file's "start") reads as connecting.
QString linkStatusLine(std::optional<LinkPhase> phase, const QString &label);

enum class MenuAction {
    None, // informational: shown disabled
    OpenChrome,
    OpenChromeSignIn,
    DisconnectChat,
    ConnectProd,
    ConnectLocal,
    ToggleLaunchAtLogin,
    CheckForUpdates,
    Quit,
    ShowWorkTab, // not in the menu: chosen from a notice that a page waits
    HandBack, // the person is done with what the assistant handed them
    StopAgent, // the item's agent
};

struct MenuItem {
    bool separator = false;
    QString title;
    MenuAction action = MenuAction::None;
    std::optional<bool> checked; // present for an item with a check mark
    QString keyEquivalent;
    QString agent; // whose item it is, for an agent's hand-back or stop

    bool enabled() const { return action != MenuAction::None; }
    friend bool operator==(const MenuItem &, const MenuItem &) = default;
};

// Everything one refresh reads, gathered before the menu is computed.
struct MenuState {
    bool chrome = false;
    std::optional<QString> linkHostLabel; // present while a link is stored
    LinkPhase phase = LinkPhase::off;
    bool loopbackFailed = false;
    QString chromeProfileLine;
    bool isApplication = false; // running from an installed copy
    bool launchAtLoginOn = false;
    bool updatesRunning = false;
    QString version;
    bool handOverWaiting = false;
    QList<AgentView> agents;
};

// One agent at work, as the menu and the status command show it.
QString agentStatusLine(const AgentView &agent);
QString handBackTitleFor(const QString &agent);

bool isConnected(LinkPhase phase);
QString menuTitle(const MenuState &state);
QList<MenuItem> menuItems(const MenuState &state);

} // namespace corvane
