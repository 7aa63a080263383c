#include "driver/CliParsing.h"

namespace corvane {

namespace {

// Horizontal white space only: line breaks stay.
bool isHorizontalSpace(QChar c)
{
    return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space;
}

QString trimSpaces(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isHorizontalSpace(text.at(begin)))
        ++begin;
    while (end > begin && isHorizontalSpace(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

// QChar::isSpace is exactly the Unicode White_Space property.
QStringList splitAtWhiteSpace(const QString &text)
{
    QStringList words;
    qsizetype start = -1;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        const bool space = i == text.size() || text.at(i).isSpace();
        if (space && start >= 0) {
            words.append(text.mid(start, i - start));
            start = -1;
        } else if (!space && start < 0) {
            start = i;
        }
    }
    return words;
}

} // namespace

QString stripAgentBrowserLauncher(const QString &text)
{
    static const QString launcher = QStringLiteral("agent-browser");
    static const QString cdpOption = QStringLiteral("--cdp");
    QString t = text.trimmed();
    if (t.startsWith(launcher))
        t = trimSpaces(t.mid(launcher.size()));
    if (t.startsWith(cdpOption)) {
        t = trimSpaces(t.mid(cdpOption.size()));
        const qsizetype space = t.indexOf(QLatin1Char(' '));
        if (space < 0)
            return {};
        t = trimSpaces(t.mid(space + 1));
    }
    return t;
}

QStringList agentBrowserArgs(const QString &text)
{
    const QString t = stripAgentBrowserLauncher(text);
    const QStringList words = splitAtWhiteSpace(t);
    if (words.isEmpty())
        return {};

    const QString &command = words.front();
    if (command == QLatin1String("eval")) {
        qsizetype split = 0;
        while (split < t.size() && !t.at(split).isSpace())
            ++split;
        const QString script = stripMatchingQuotes(trimSpaces(t.mid(split)));
        return script.isEmpty() ? QStringList {command} : QStringList {command, script};
    }
    if ((command == QLatin1String("fill") || command == QLatin1String("type")) && words.size() > 2)
        return {command, words.at(1), words.mid(2).join(QLatin1Char(' '))};
    return words;
}

QString stripMatchingQuotes(const QString &text)
{
    const QString t = text.trimmed();
    if (t.size() > 1) {
        const QChar first = t.front();
        if ((first == QLatin1Char('"') || first == QLatin1Char('\'')) && t.back() == first)
            return t.mid(1, t.size() - 2);
    }
    return t;
}

} // namespace corvane
