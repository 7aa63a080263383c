#pragma once

// Where the companion shows its title and menu: the tray icon, the terminal
// of a headless companion, or a test.

#include "menu/CompanionMenu.h"

#include <functional>

namespace corvane {

class MenuPresenter {
public:
    // The action, and the agent an agent's item is for.
    using ActionHandler = std::function<void(MenuAction, const QString &agent)>;

    virtual ~MenuPresenter() = default;
    virtual void setTitle(const QString &title) = 0;
    // Replaces every item; chosen actions go to the handler.
    virtual void setMenu(const QList<MenuItem> &items) = 0;
    // A notice for the person; choosing it asks for MenuAction::ShowWorkTab.
    virtual void notify(const QString &title, const QString &text) = 0;
};

} // namespace corvane
