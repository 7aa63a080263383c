#pragma once

// A headless companion's menu: the first line of the menu, printed to
// standard output whenever it changes, so a terminal shows what a tray would.

#include "MenuPresenter.h"

namespace corvane {

class ConsoleStatus : public MenuPresenter {
public:
    void setTitle(const QString &) override { }
    void setMenu(const QList<MenuItem> &items) override;
    // Printed as a status line of its own.
    void notify(const QString &title, const QString &text) override;

private:
    QString shown_;
};

} // namespace corvane
