#include "ConsoleStatus.h"

#include <cstdio>

namespace corvane {

void ConsoleStatus::setMenu(const QList<MenuItem> &items)
{
    // The status line, then the link line, which stands above "Disconnect Chat".
    QString line = items.value(0).title;
    for (qsizetype i = 1; i < items.size(); ++i) {
        if (items[i].action == MenuAction::DisconnectChat)
            line += QStringLiteral(" \u00B7 ") + items[i - 1].title;
    }
    if (line == shown_)
        return;
    shown_ = line;
    std::fprintf(stdout, "%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

void ConsoleStatus::notify(const QString &, const QString &text)
{
    std::fprintf(stdout, "%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

} // namespace corvane
