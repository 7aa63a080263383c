#include "ChromePlatform.h"

#include "Processes.h"

#include <utility>

namespace corvane::platform {

QStringList chromeExecutableCandidates()
{
    return {QStringLiteral("/opt/google/chrome/chrome"), QStringLiteral("/usr/lib/chromium/chromium")};
}

QString chromeExecutable(const QString &configured)
{
    if (!configured.isEmpty())
        return configured;
    const QStringList candidates = chromeExecutableCandidates();
    for (const QString &candidate : candidates) {
        if (isExecutableFile(candidate))
            return candidate;
    }
    return candidates.first();
}

QString chromeCommandLinePrefix(const QString &executable)
{
    return executable + QLatin1Char(' ');
}

bool hasGraphicalDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

QStringList chromeLaunchSwitches(bool hasDisplay, bool asRoot, const QString &userFlags)
{
    QStringList switches;
    if (!hasDisplay)
        switches << QStringLiteral("--headless=new");
    if (asRoot)
        switches << QStringLiteral("--no-sandbox");
    switches << shellWords(userFlags);
    return switches;
}

QStringList shellWords(const QString &text)
{
    QStringList words;
    QString word;
    bool inWord = false;
    enum class Quote { none, single, twice } quote = Quote::none;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quote == Quote::single) {
            if (c == QLatin1Char('\''))
                quote = Quote::none;
            else
                word += c;
        } else if (quote == Quote::twice) {
            if (c == QLatin1Char('"')) {
                quote = Quote::none;
            } else if (c == QLatin1Char('\\') && i + 1 < text.size()
                       && QStringLiteral("\"\\$`").contains(text.at(i + 1))) {
                word += text.at(++i);
            } else {
                word += c;
            }
        } else if (c.isSpace()) {
            if (inWord)
                words << std::exchange(word, QString());
            inWord = false;
        } else {
            inWord = true;
            if (c == QLatin1Char('\''))
                quote = Quote::single;
            else if (c == QLatin1Char('"'))
                quote = Quote::twice;
            else if (c == QLatin1Char('\\') && i + 1 < text.size())
                word += text.at(++i);
            else
                word += c;
        }
    }
    if (inWord)
        words << word;
    return words;
}

} // namespace corvane::platform
