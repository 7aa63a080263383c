#pragma once

// What the companion's menu says, as plain data: the short title beside the
// icon and the items, computed whole from what the rest of the system reports
// at one moment. The application only renders it.

#include <QList>
#include <QString>

#include <optional>

namespace corvane {

inline const QString menuBarErrorTitle = QStringLiteral("\u2717");
inline const QString menuErrorStatus =
    QStringLiteral("Corvane: Error \u2014 Companion could not start its local server");

// The phase while a connection is being opened: nothing is connected yet.
inline const QString phaseConnecting = QStringLiteral("connecting");

QString menuBarTitle(bool chrome, bool linked, bool connected);
QString menuStatusText(bool chrome, bool linked, bool connected);
// The link line for the loop's phase and the link's host label.
QString linkStatusLine(const QString &phase, const QString &label);

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
};

struct MenuItem {
    bool separator = false;
    QString title;
    MenuAction action = MenuAction::None;
    std::optional<bool> checked; // present for an item with a check mark
    QString keyEquivalent;

    bool enabled() const { return action != MenuAction::None; }
    friend bool operator==(const MenuItem &, const MenuItem &) = default;
};

// Everything one refresh reads, gathered before the menu is computed.
struct MenuState {
    bool chrome = false;
    std::optional<QString> linkHostLabel; // present while a link is stored
    QString phase = QStringLiteral("off");
    bool loopbackFailed = false;
    QString chromeProfileLine;
    bool isApplication = false; // running from an installed copy
    bool launchAtLoginOn = false;
    bool updatesRunning = false;
    QString version;
};

bool isConnected(const QString &phase);
QString menuTitle(const MenuState &state);
QList<MenuItem> menuItems(const MenuState &state);

} // namespace corvane
