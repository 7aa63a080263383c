// The menu's texts and the whole menu for the states a user meets.

#include "menu/CompanionMenu.h"
#include "driver/HandOver.h"
#include "link/LinkStore.h"

#include "QtPrinting.h"

#include <QMap>

#include <gtest/gtest.h>

using namespace corvane;

namespace {

struct TitleCase {
    bool chrome, linked, connected;
    const char *title;
    const char *status;
};

TEST(MenuTexts, TitleAndStatusFollowChromeBeforeTheLink)
{
    const TitleCase cases[] = {
        {false, false, false, "\u26A0\uFE0E", "Corvane: Chrome off"},
        {false, true, true, "\u26A0\uFE0E", "Corvane: Chrome off"},
        {false, true, false, "\u26A0\uFE0E", "Corvane: Chrome off"},
        {true, false, false, "", "Corvane: Not linked"},
        {true, false, true, "", "Corvane: Not linked"},
        {true, true, true, "\u2713", "Corvane: Linked"},
        {true, true, false, "\u2026", "Corvane: Connecting"},
    };
    for (const TitleCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.chrome << c.linked << c.connected);
        EXPECT_EQ(menuBarTitle(c.chrome, c.linked, c.connected), QString::fromUtf8(c.title));
        EXPECT_EQ(menuStatusText(c.chrome, c.linked, c.connected), QString::fromUtf8(c.status));
    }
}

TEST(MenuTexts, LinkLineByPhase)
{
    const std::pair<const char *, const char *> cases[] = {
        {"waiting", "Waiting for chat.example"},
        {"idle", "Connected to chat.example"},
        {"socket-down", "Socket down \u2014 not connected to chat.example"},
        {"off", "Connecting to chat.example"},
        {"bad host", "Connecting to chat.example"},
        {"refresh", "Connecting to chat.example"},
        {"", "Connecting to chat.example"},
        {"Idle", "Connecting to chat.example"},
    };
    for (const auto &[phase, line] : cases)
        EXPECT_EQ(linkStatusLine(phaseFromWord(QString::fromUtf8(phase)), QStringLiteral("chat.example")),
                  QString::fromUtf8(line))
            << phase;
}

// One line per item: "---" a separator, "(…)" an informational item shown
// disabled, "[x] …" / "[ ] …" a check item, "… ^q" a key equivalent.
QStringList shown(const QList<MenuItem> &items)
{
    QStringList lines;
    for (const MenuItem &item : items) {
        if (item.separator) {
            lines << QStringLiteral("---");
            continue;
        }
        QString line = item.enabled() ? item.title : QLatin1Char('(') + item.title + QLatin1Char(')');
        if (item.checked)
            line.prepend(*item.checked ? QStringLiteral("[x] ") : QStringLiteral("[ ] "));
        if (!item.keyEquivalent.isEmpty())
            line += QStringLiteral(" ^") + item.keyEquivalent;
        lines << line;
    }
    return lines;
}

MenuState baseState()
{
    MenuState state;
    state.chrome = true;
    state.chromeProfileLine = QStringLiteral("Chrome: companion-profile \u00B7 Default \u00B7 port 9222");
    state.version = QStringLiteral("0.1.0");
    state.isApplication = true;
    return state;
}

// Not a global: the production origin is itself a global of another file.
QString connectProdTitle()
{
    return QStringLiteral("Connect to ") + chatHostLabel(productionChat);
}

struct MenuCase {
    const char *name;
    std::function<void(MenuState &)> change;
    QString title;
    QStringList lines;
};

TEST(Menu, ItemsForEachState)
{
    const QString profile = baseState().chromeProfileLine;
    const QString signIn = QStringLiteral("Sign in to sites in this Chrome profile\u2026");
    const QString connectProd = connectProdTitle();
    const MenuCase cases[] = {
        {"no link",
         [](MenuState &) {},
         QString(),
         {"(Corvane: Not linked)", "(Chrome debugging is on)", "(" + profile + ")", signIn, "---", connectProd,
          "Connect to local Chat", "---", "[ ] Start at Login", "(Version 0.1.0)", "Quit ^q"}},
        {"chrome off with a link",
         [](MenuState &s) {
             s.chrome = false;
             s.linkHostLabel = QStringLiteral("chat.example");
             s.phase = LinkPhase::idle;
         },
         QStringLiteral("\u26A0\uFE0E"),
         {"(Corvane: Chrome off)", "(Chrome debugging is off)", "(" + profile + ")", "Open Chrome for debugging",
          signIn, "---", "(Connected to chat.example)", "Disconnect Chat", "---", "[ ] Start at Login",
          "(Version 0.1.0)", "Quit ^q"}},
        {"linked and idle, start at login on",
         [](MenuState &s) {
             s.linkHostLabel = QStringLiteral("chat.example");
             s.phase = LinkPhase::idle;
             s.launchAtLoginOn = true;
         },
         QStringLiteral("\u2713"),
         {"(Corvane: Linked)", "(Chrome debugging is on)", "(" + profile + ")", signIn, "---",
          "(Connected to chat.example)", "Disconnect Chat", "---", "[x] Start at Login", "(Version 0.1.0)", "Quit ^q"}},
        {"socket down",
         [](MenuState &s) {
             s.linkHostLabel = QStringLiteral("chat.example");
             s.phase = LinkPhase::socketDown;
         },
         QStringLiteral("\u2026"),
         {"(Corvane: Connecting)", "(Chrome debugging is on)", "(" + profile + ")", signIn, "---",
          "(Socket down \u2014 not connected to chat.example)", "Disconnect Chat", "---", "[ ] Start at Login",
          "(Version 0.1.0)", "Quit ^q"}},
        {"waiting",
         [](MenuState &s) {
             s.linkHostLabel = QStringLiteral("localhost");
             s.phase = LinkPhase::waiting;
         },
         QStringLiteral("\u2026"),
         {"(Corvane: Connecting)", "(Chrome debugging is on)", "(" + profile + ")", signIn, "---",
          "(Waiting for localhost)", "Disconnect Chat", "---", "[ ] Start at Login", "(Version 0.1.0)", "Quit ^q"}},
        {"loopback failed: the error wins over Chrome and the link",
         [](MenuState &s) {
             s.loopbackFailed = true;
             s.chrome = false;
             s.linkHostLabel = QStringLiteral("chat.example");
             s.phase = LinkPhase::idle;
         },
         menuBarErrorTitle,
         {"(" + menuErrorStatus + ")", "(Chrome debugging is off)", "(" + profile + ")", "Open Chrome for debugging",
          signIn, "---", "(Connected to chat.example)", "Disconnect Chat", "---", "[ ] Start at Login",
          "(Version 0.1.0)", "Quit ^q"}},
        {"outside an installed copy",
         [](MenuState &s) { s.isApplication = false; },
         QString(),
         {"(Corvane: Not linked)", "(Chrome debugging is on)", "(" + profile + ")", signIn, "---", connectProd,
          "Connect to local Chat", "---", "(Version 0.1.0)", "Quit ^q"}},
        {"updates running",
         [](MenuState &s) { s.updatesRunning = true; },
         QString(),
         {"(Corvane: Not linked)", "(Chrome debugging is on)", "(" + profile + ")", signIn, "---", connectProd,
          "Connect to local Chat", "---", "[ ] Start at Login", "(Version 0.1.0)", "Check for Updates\u2026",
          "Quit ^q"}},
        {"assistants at work, one handed over; a title prints no control characters",
         [](MenuState &s) {
             s.agents = {{QStringLiteral("a"), QStringLiteral("Evil\u001b[2J"), true, false},
                         {QStringLiteral("b"), QString(), false, true}};
         },
         QString(),
         {handBackTitle + " (b)", "---", "(Corvane: Not linked)", "(Chrome debugging is on)", "(" + profile + ")",
          signIn, "---", connectProd, "Connect to local Chat", "---", "(Assistants at work: 2)",
          "(a \u2014 Evil [2J \u2014 busy)", "Stop a", "(b \u2014 no page yet \u2014 handed over to you)", "Stop b",
          "---", "[ ] Start at Login", "(Version 0.1.0)", "Quit ^q"}},
    };
    for (const MenuCase &c : cases) {
        SCOPED_TRACE(c.name);
        MenuState state = baseState();
        c.change(state);
        EXPECT_EQ(menuTitle(state), c.title);
        EXPECT_EQ(shown(menuItems(state)), c.lines);
    }
}

TEST(Menu, ActionsAreWiredToTheirItems)
{
    const QString connectProd = connectProdTitle();
    MenuState state = baseState();
    state.chrome = false;
    state.updatesRunning = true;
    QMap<QString, MenuAction> actions;
    for (const MenuItem &item : menuItems(state))
        if (item.enabled())
            actions.insert(item.title, item.action);
    const QMap<QString, MenuAction> expected {
        {"Open Chrome for debugging", MenuAction::OpenChrome},
        {"Sign in to sites in this Chrome profile\u2026", MenuAction::OpenChromeSignIn},
        {connectProd, MenuAction::ConnectProd},
        {"Connect to local Chat", MenuAction::ConnectLocal},
        {"Start at Login", MenuAction::ToggleLaunchAtLogin},
        {"Check for Updates\u2026", MenuAction::CheckForUpdates},
        {"Quit", MenuAction::Quit},
    };
    EXPECT_EQ(actions, expected);
    EXPECT_EQ(connectProd, QStringLiteral("Connect to chat.corvane.app"));
}

} // namespace
