#include "driver/CliPolicy.h"

#include "driver/ToolBatch.h"

#include "UserPaths.h"

#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

namespace corvane {

namespace {

struct Option {
    const char *name;
    bool takesValue;
};

// Every command that acts on the page, with the options it may carry. An
// option not listed here (the tool's global ones among them: another
// session, port, profile, state file, proxy, headers, download folder) is
// refused with the command.
const QHash<QString, QList<Option>> &pageCommands()
{
    static const QHash<QString, QList<Option>> commands {
        {QStringLiteral("open"), {}},
        {QStringLiteral("tab"), {{"--label", true}}},
        {QStringLiteral("click"), {{"--human", false}}},
        {QStringLiteral("dblclick"), {{"--human", false}}},
        {QStringLiteral("fill"), {}},
        {QStringLiteral("type"), {}},
        {QStringLiteral("press"), {}},
        {QStringLiteral("keyboard"), {}},
        {QStringLiteral("hover"), {}},
        {QStringLiteral("focus"), {}},
        {QStringLiteral("check"), {}},
        {QStringLiteral("uncheck"), {}},
        {QStringLiteral("select"), {}},
        {QStringLiteral("drag"), {}},
        {QStringLiteral("scroll"), {{"-s", true}, {"--selector", true}}},
        {QStringLiteral("scrollintoview"), {}},
        {QStringLiteral("wait"),
         {{"--url", true}, {"--load", true}, {"--fn", true}, {"--text", true}, {"--state", true}}},
        {QStringLiteral("get"), {}},
        {QStringLiteral("is"), {}},
        {QStringLiteral("find"), {{"--name", true}, {"--exact", false}}},
        {QStringLiteral("snapshot"),
         {{"-i", false},
          {"--interactive", false},
          {"-u", false},
          {"--urls", false},
          {"-c", false},
          {"--compact", false},
          {"-d", true},
          {"--depth", true},
          {"-s", true},
          {"--selector", true},
          {"--delta", false},
          {"--full", false}}},
        {QStringLiteral("eval"), {{"-b", false}, {"--base64", false}}},
        {QStringLiteral("back"), {}},
        {QStringLiteral("forward"), {}},
        {QStringLiteral("reload"), {}},
        {QStringLiteral("dialog"), {}},
        {QStringLiteral("console"), {{"--clear", false}}},
        {QStringLiteral("errors"), {{"--clear", false}}},
        {QStringLiteral("mouse"), {}},
        {QStringLiteral("highlight"), {}},
        {QStringLiteral("diff"),
         {{"-s", true}, {"--selector", true}, {"-c", false}, {"--compact", false}, {"-d", true}, {"--depth", true}}},
        {QStringLiteral("upload"), {}},
    };
    return commands;
}

// The first word after the command must be one of these, where a command
// has words of its own.
const QHash<QString, QStringList> &firstWords()
{
    static const QHash<QString, QStringList> words {
        {QStringLiteral("get"), {"text", "html", "value", "attr", "title", "url", "count", "box", "styles"}},
        {QStringLiteral("is"), {"visible", "enabled", "checked"}},
        {QStringLiteral("dialog"), {"accept", "dismiss", "status"}},
        {QStringLiteral("keyboard"), {"type", "inserttext"}},
        {QStringLiteral("mouse"), {"move", "down", "up", "wheel"}},
        {QStringLiteral("find"),
         {"role", "text", "label", "placeholder", "alt", "title", "testid", "first", "last", "nth"}},
        {QStringLiteral("diff"), {"snapshot"}},
    };
    return words;
}

bool isWebAddress(const QString &text)
{
    return text.startsWith(QLatin1String("http://")) || text.startsWith(QLatin1String("https://"));
}

bool isNumber(const QString &text)
{
    static const QRegularExpression number(QStringLiteral("^-?[0-9]+(\\.[0-9]+)?$"));
    return number.match(text).hasMatch();
}

// The command's words without its options and their values; none when an
// option is not one the command takes.
std::optional<QStringList> wordsOf(const QStringList &args)
{
    const QList<Option> &options = pageCommands().value(args.front());
    const QList<qsizetype> texts = freeTextPositions(args);
    QStringList words;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString &arg = args[i];
        if (texts.contains(i) || !arg.startsWith(QLatin1Char('-')) || isNumber(arg)) {
            words.append(arg);
            continue;
        }
        if (arg == QLatin1String("--json"))
            continue;
        const auto option = std::find_if(options.begin(), options.end(),
                                         [&](const Option &o) { return arg == QLatin1String(o.name); });
        if (option == options.end())
            return std::nullopt;
        if (option->takesValue)
            ++i;
    }
    return words;
}

// A tab command: list, switch, close, or new on a web page.
bool tabAllowed(const QStringList &words)
{
    const QString operation = words.value(0);
    if (operation == QLatin1String("new"))
        return words.size() == 1 || (words.size() == 2 && isWebAddress(words[1]));
    return words.size() <= 2;
}

// The files of an upload as full paths inside the exchange folder; none
// when one lies anywhere else (links are followed first).
std::optional<QStringList> exchangeFiles(const QStringList &files)
{
    const QString folder = QFileInfo(exchangeFolder()).canonicalFilePath();
    if (folder.isEmpty() || files.isEmpty())
        return std::nullopt;
    QStringList paths;
    for (const QString &file : files) {
        const QFileInfo named(file.contains(QLatin1Char('/')) ? file : exchangeFolder() + QLatin1Char('/') + file);
        const QString path = named.canonicalFilePath();
        if (path.isEmpty() || !path.startsWith(folder + QLatin1Char('/')) || !QFileInfo(path).isFile())
            return std::nullopt;
        paths.append(path);
    }
    return paths;
}

} // namespace

QString exchangeFolder()
{
    const QString folder = platform::applicationSupportDir() + QStringLiteral("/CorvaneCompanion/exchange");
    platform::makePrivateDir(folder);
    return folder;
}

QString cliNotAllowedText()
{
    return QStringLiteral(
               "This command is not allowed: commands act only on the page. Allowed: open and tab new with an http(s) "
               "address, click, dblclick, fill, type, press, keyboard, hover, focus, check, uncheck, select, drag, "
               "scroll, "
               "scrollintoview, wait, get, is, find, snapshot, eval, back, forward, reload, tab (list, switch, close), "
               "dialog, "
               "console, errors, mouse, highlight, diff snapshot, and upload of files in %1.")
        .arg(exchangeFolder());
}

QString uploadOutsideText()
{
    return QStringLiteral("upload takes files in %1 only.").arg(exchangeFolder());
}

CheckedCommand checkCliCommand(const QStringList &typed)
{
    const CheckedCommand refused {std::nullopt, cliNotAllowedText()};
    // "--json" before the command means the same as after it.
    QStringList args = typed;
    if (args.value(0) == QLatin1String("--json"))
        args.append(args.takeFirst());
    if (args.isEmpty() || !pageCommands().contains(args.front()))
        return refused;
    const QString &command = args.front();
    const std::optional<QStringList> words = wordsOf(args);
    if (!words)
        return refused;
    if (firstWords().contains(command) && !firstWords().value(command).contains(words->value(0)))
        return refused;
    if (command == QLatin1String("open") && !(words->size() == 1 && isWebAddress(words->front())))
        return refused;
    if (command == QLatin1String("tab") && !tabAllowed(*words))
        return refused;
    if (command == QLatin1String("diff") && words->size() != 1)
        return refused;
    if (command == QLatin1String("upload")) {
        const std::optional<QStringList> files = exchangeFiles(words->mid(1));
        if (!files)
            return {std::nullopt, uploadOutsideText()};
        QStringList allowed {command, words->front()};
        allowed += *files;
        if (wantsJson(args))
            allowed.append(QStringLiteral("--json"));
        return {allowed, {}};
    }
    return {args, {}};
}

} // namespace corvane
