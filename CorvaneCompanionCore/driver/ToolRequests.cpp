#include "driver/ToolRequests.h"

#include "driver/ToolBatch.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

namespace corvane {

namespace {

using Words = QStringList;
using Fields = std::optional<QJsonObject>;

bool isWholeNumber(const QString &word, int most)
{
    bool number = false;
    const int value = word.toInt(&number);
    return number && value >= 0 && value <= most && !word.startsWith(QLatin1Char('+'));
}

// A word the program would not read as one of its options.
bool isPlainWord(const QString &word)
{
    return !word.isEmpty() && !word.startsWith(QLatin1Char('-'));
}

bool isPageAddress(const QString &url)
{
    return url.startsWith(QLatin1String("http://")) || url.startsWith(QLatin1String("https://"))
        || url == QLatin1String("about:blank");
}

bool isDirection(const QString &word)
{
    return word == QLatin1String("up") || word == QLatin1String("down") || word == QLatin1String("left")
        || word == QLatin1String("right");
}

// A tab as the runner names one: its label, the tool's id ("t3") or Chrome's
// target id. Other words ("2", "list") the program reads differently.
bool isTabName(const QString &word)
{
    static const QRegularExpression name(QStringLiteral("^(cv-work[A-Za-z0-9-]*|t[0-9]{1,6}|[0-9A-F]{32})$"));
    return name.match(word).hasMatch();
}

Fields with(std::initializer_list<std::pair<const char *, QJsonValue>> members)
{
    QJsonObject fields;
    for (const auto &[key, value] : members)
        fields.insert(QLatin1String(key), value);
    return fields;
}

// One command the table knows: its words ("<x>" takes any one word, the
// n-th such given to `fields` as w[n]) and the request's action.
struct RequestForm {
    const char *words;
    const char *action;
    Fields (*fields)(const Words &w);
};

// Each row was checked against the pinned program: the command was run
// through it under strace, the request it wrote to the session's socket
// read off, and the same request sent on a kept connection gave the reply
// that the program prints (the replies' printing is tested beside the
// runner against the program itself, command by command).
const RequestForm requestForms[] = {
    {"open <url>", "navigate",
     [](const Words &w) {
         return isPageAddress(w[0]) ? with({{"url", w[0]}}) : Fields();
     }},
    {"tab list", "tab_list", [](const Words &) { return with({}); }},
    {"tab new --label <label> <url>", "tab_new",
     [](const Words &w) {
         return isTabName(w[0]) && isPageAddress(w[1]) ? with({{"label", w[0]}, {"url", w[1]}}) : Fields();
     }},
    {"tab close <tab>", "tab_close",
     [](const Words &w) {
         return isTabName(w[0]) ? with({{"tabId", w[0]}}) : Fields();
     }},
    {"tab <tab>", "tab_switch",
     [](const Words &w) {
         return isTabName(w[0]) ? with({{"tabId", w[0]}}) : Fields();
     }},
    {"get title", "title", [](const Words &) { return with({}); }},
    {"get url", "url", [](const Words &) { return with({}); }},
    {"get text <selector>", "gettext",
     [](const Words &w) {
         return isPlainWord(w[0]) ? with({{"selector", w[0]}}) : Fields();
     }},
    {"snapshot", "snapshot", [](const Words &) { return with({}); }},
    {"snapshot -i", "snapshot",
     [](const Words &) {
         return with({{"interactive", true}});
     }},
    {"snapshot -i -c", "snapshot",
     [](const Words &) {
         return with({{"interactive", true}, {"compact", true}});
     }},
    {"click <selector>", "click",
     [](const Words &w) {
         return isPlainWord(w[0]) ? with({{"selector", w[0]}}) : Fields();
     }},
    {"hover <selector>", "hover",
     [](const Words &w) {
         return isPlainWord(w[0]) ? with({{"selector", w[0]}}) : Fields();
     }},
    {"fill <selector> <text>", "fill",
     [](const Words &w) {
         return isPlainWord(w[0]) ? with({{"selector", w[0]}, {"value", w[1]}}) : Fields();
     }},
    {"type <selector> <text>", "type",
     [](const Words &w) {
         return isPlainWord(w[0]) ? with({{"selector", w[0]}, {"text", w[1]}}) : Fields();
     }},
    {"select <selector> <value>", "select",
     [](const Words &w) {
         return isPlainWord(w[0]) && isPlainWord(w[1]) ? with({{"selector", w[0]}, {"values", w[1]}}) : Fields();
     }},
    {"press <key>", "press",
     [](const Words &w) {
         return isPlainWord(w[0]) ? with({{"key", w[0]}}) : Fields();
     }},
    {"scroll <direction>", "scroll",
     [](const Words &w) {
         return isDirection(w[0]) ? with({{"direction", w[0]}, {"amount", 300}}) : Fields();
     }},
    {"scroll <direction> <amount>", "scroll",
     [](const Words &w) {
         return isDirection(w[0]) && isWholeNumber(w[1], 100000) ? with({{"direction", w[0]}, {"amount", w[1].toInt()}})
                                                                 : Fields();
     }},
    {"back", "back", [](const Words &) { return with({}); }},
    {"wait --load <state>", "waitforloadstate",
     [](const Words &w) {
         static const QStringList states {QStringLiteral("load"), QStringLiteral("domcontentloaded"),
                                          QStringLiteral("networkidle")};
         return states.contains(w[0]) ? with({{"state", w[0]}}) : Fields();
     }},
    {"wait --fn <expression>", "waitforfunction",
     [](const Words &w) {
         return with({{"expression", w[0]}});
     }},
    {"wait --text <text> --timeout <ms>", "wait",
     [](const Words &w) {
         return isWholeNumber(w[1], 3'600'000) ? with({{"text", w[0]}, {"timeout", w[1].toInt()}}) : Fields();
     }},
    {"screenshot <path>", "screenshot",
     [](const Words &w) {
         return w[0].startsWith(QLatin1Char('/'))
             ? with({{"path", w[0]}, {"annotate", false}, {"fullPage", false}, {"selector", QJsonValue::Null}})
             : Fields();
     }},
    {"eval <script>", "evaluate",
     [](const Words &w) {
         return with({{"script", w[0]}});
     }},
    {"dialog status", "dialog",
     [](const Words &) {
         return with({{"response", QStringLiteral("status")}});
     }},
    {"dialog dismiss", "dialog",
     [](const Words &) {
         return with({{"response", QStringLiteral("dismiss")}});
     }},
    {"dialog accept", "dialog",
     [](const Words &) {
         return with({{"response", QStringLiteral("accept")}});
     }},
    {"dialog accept <text>", "dialog",
     [](const Words &w) {
         return with({{"response", QStringLiteral("accept")}, {"promptText", w[0]}});
     }},
};

// The words `command` gives the form's "<x>" places; none when it is not
// that form.
std::optional<Words> matchForm(const char *form, const QStringList &command)
{
    const QStringList words = QString::fromLatin1(form).split(QLatin1Char(' '));
    if (words.size() != command.size())
        return std::nullopt;
    Words taken;
    for (qsizetype i = 0; i < words.size(); ++i) {
        if (words[i].startsWith(QLatin1Char('<')))
            taken.append(command[i]);
        else if (words[i] != command[i])
            return std::nullopt;
    }
    return taken;
}

// The companion's screenshot options: the program puts them in the request.
bool takeScreenshotOptions(QStringList &command, QJsonObject &fields)
{
    const QList<qsizetype> texts = freeTextPositions(command);
    for (const char *option : {"--screenshot-format", "--screenshot-quality"}) {
        const qsizetype at = command.indexOf(QLatin1String(option));
        if (at < 0 || texts.contains(at))
            continue;
        if (at + 1 >= command.size() || command.value(0) != QLatin1String("screenshot"))
            return false;
        const QString value = command.at(at + 1);
        if (QLatin1String(option) == QLatin1String("--screenshot-format")) {
            if (value != QLatin1String("jpeg") && value != QLatin1String("png"))
                return false;
            fields.insert(QStringLiteral("format"), value);
        } else {
            if (!isWholeNumber(value, 100))
                return false;
            fields.insert(QStringLiteral("quality"), value.toInt());
        }
        command.remove(at, 2);
    }
    return true;
}

} // namespace

std::optional<ToolRequest> toolRequest(const QStringList &args)
{
    ToolRequest request;
    request.json = wantsJson(args);
    QStringList command = args;
    const QList<qsizetype> texts = freeTextPositions(command);
    for (qsizetype i = command.size() - 1; i >= 0; --i) {
        if (command.at(i) == QLatin1String("--json") && !texts.contains(i))
            command.removeAt(i);
    }
    QJsonObject options;
    if (!takeScreenshotOptions(command, options))
        return std::nullopt;
    for (const RequestForm &form : requestForms) {
        const std::optional<Words> words = matchForm(form.words, command);
        if (!words)
            continue;
        Fields fields = form.fields(*words);
        if (!fields)
            return std::nullopt;
        for (auto it = options.begin(); it != options.end(); ++it)
            fields->insert(it.key(), it.value());
        fields->insert(QStringLiteral("action"), QLatin1String(form.action));
        fields->insert(QStringLiteral("plugins"), QJsonArray());
        request.fields = *fields;
        return request;
    }
    return std::nullopt;
}

QJsonObject launchRequest(qint64 cdp)
{
    return {{QStringLiteral("action"), QStringLiteral("launch")}, {QStringLiteral("cdpPort"), cdp}};
}

QString replyAnswer(QStringView reply)
{
    return answerFrom(reply, reply.indexOf(QLatin1Char('{')), QLatin1String("data"));
}

namespace {

// The JSON text `raw` laid out as the program's pretty printer does: two
// spaces a level, empty containers on one line, members as "key": value.
QString prettyJson(QStringView raw)
{
    QString out;
    int depth = 0;
    const auto newline = [&] { out += QLatin1Char('\n') + QString(2 * depth, QLatin1Char(' ')); };
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const QChar c = raw[i];
        if (c == QLatin1Char('"')) {
            const qsizetype start = i;
            for (++i; i < raw.size() && raw[i] != QLatin1Char('"'); ++i) {
                if (raw[i] == QLatin1Char('\\'))
                    ++i;
            }
            out += raw.mid(start, i - start + 1);
        } else if (c == QLatin1Char('{') || c == QLatin1Char('[')) {
            qsizetype next = i + 1;
            while (next < raw.size() && raw[next].isSpace())
                ++next;
            if (next < raw.size() && (raw[next] == QLatin1Char('}') || raw[next] == QLatin1Char(']'))) {
                out += c;
                out += raw[next];
                i = next;
                continue;
            }
            out += c;
            ++depth;
            newline();
        } else if (c == QLatin1Char('}') || c == QLatin1Char(']')) {
            --depth;
            newline();
            out += c;
        } else if (c == QLatin1Char(',')) {
            out += c;
            newline();
        } else if (c == QLatin1Char(':')) {
            out += QStringLiteral(": ");
        } else if (!c.isSpace()) {
            out += c;
        }
    }
    return out;
}

// The note the program writes on standard error when a run launched or
// restored something.
QString lifecycleNote(const QJsonObject &data)
{
    if (!data.contains(QStringLiteral("lifecycle")))
        return {};
    const QJsonObject lifecycle = data.value(QStringLiteral("lifecycle")).toObject();
    QStringList parts;
    if (lifecycle.value(QStringLiteral("relaunchedBrowser")).toBool())
        parts.append(QStringLiteral("relaunched browser"));
    else if (lifecycle.value(QStringLiteral("launched")).toBool()
             && !lifecycle.value(QStringLiteral("reused")).toBool())
        parts.append(QStringLiteral("launched browser"));
    const QString restore = lifecycle.value(QStringLiteral("restoreStatus")).toString();
    if (lifecycle.value(QStringLiteral("restoreStatus")).isString() && restore != QLatin1String("not_configured")
        && restore != QLatin1String("pending"))
        parts.append(QStringLiteral("restore: ") + restore);
    const QString save = lifecycle.value(QStringLiteral("saveStatus")).toString();
    if (lifecycle.value(QStringLiteral("saveStatus")).isString() && save != QLatin1String("not_attempted")
        && save != QLatin1String("not_configured"))
        parts.append(QStringLiteral("save: ") + save);
    return parts.isEmpty() ? QString() : QStringLiteral("[agent-browser] ") + parts.join(QStringLiteral("; ")) + '\n';
}

QString tabLines(const QJsonArray &tabs)
{
    QString out;
    for (const QJsonValue &entry : tabs) {
        const QJsonObject tab = entry.toObject();
        const QString marker
            = tab.value(QStringLiteral("active")).toBool() ? QStringLiteral("\u2192") : QStringLiteral(" ");
        const QString id = tab.value(QStringLiteral("tabId")).toString(QStringLiteral("?"));
        const QString title = tab.value(QStringLiteral("title")).toString(QStringLiteral("Untitled"));
        const QString url = tab.value(QStringLiteral("url")).toString();
        const QJsonValue label = tab.value(QStringLiteral("label"));
        out += marker + QStringLiteral(" [") + id + QStringLiteral("] ")
            + (label.isString() ? label.toString() + QLatin1Char(' ') : QString()) + title + QStringLiteral(" - ") + url
            + QLatin1Char('\n');
    }
    return out;
}

// Members the program prints in ways of their own, for requests the table
// does not send: a reply with one of them is not guessed at.
const char *const unprintedMembers[] = {"styles",
                                        "devices",
                                        "messages",
                                        "errors",
                                        "cookies",
                                        "requests",
                                        "cleared",
                                        "box",
                                        "elements",
                                        "started",
                                        "stopped",
                                        "frames",
                                        "suggestedFilename",
                                        "filename",
                                        "traceStopped",
                                        "files",
                                        "renamed",
                                        "summary",
                                        "cleaned",
                                        "profiles",
                                        "profile",
                                        "saved",
                                        "updated",
                                        "loggedIn",
                                        "deleted",
                                        "confirmed",
                                        "denied",
                                        "pendingConfirmation",
                                        "annotations"};

} // namespace

std::optional<QString> replyText(const QString &action, QStringView reply)
{
    const QJsonObject object = QJsonDocument::fromJson(reply.toUtf8()).object();
    const QString warning = object.value(QStringLiteral("warning")).toString();
    const QString warningLine = object.value(QStringLiteral("warning")).isString()
        ? QStringLiteral("\u26A0 ") + warning + QLatin1Char('\n')
        : QString();
    if (object.value(QStringLiteral("success")) != QJsonValue(true)) {
        const QJsonValue error = object.value(QStringLiteral("error"));
        return QStringLiteral("\u2717 ") + (error.isString() ? error.toString() : QStringLiteral("Unknown error"))
            + QLatin1Char('\n') + warningLine;
    }
    const QJsonValue dataValue = object.value(QStringLiteral("data"));
    if (dataValue.isNull() || dataValue.isUndefined())
        return warningLine;
    const QJsonObject data = dataValue.toObject();
    const auto text = [&](const char *key) { return data.value(QLatin1String(key)); };
    const QString note = lifecycleNote(data);
    const auto printed = [&](const QString &shown) { return std::optional<QString>(note + shown + QLatin1Char('\n')); };

    // In the program's order: the first member that is there decides.
    if (action == QLatin1String("dialog") && text("hasDialog").isBool()) {
        if (!text("hasDialog").toBool())
            return note + QStringLiteral("\u2713 No dialog is currently open\n") + warningLine;
        QString shown = QStringLiteral("\u26A0 JavaScript ") + text("type").toString(QStringLiteral("unknown"))
            + QStringLiteral(" dialog is open: \"") + text("message").toString() + QStringLiteral("\"\n");
        if (text("defaultPrompt").isString())
            shown += QStringLiteral("  Default prompt text: \"") + text("defaultPrompt").toString()
                + QStringLiteral("\"\n");
        return note + shown + QStringLiteral("  Use `dialog accept [text]` or `dialog dismiss` to resolve it\n")
            + warningLine;
    }
    if (text("url").isString()) {
        if (text("title").isString())
            return printed(QStringLiteral("\u2713 ") + text("title").toString() + QStringLiteral("\n  ")
                           + text("url").toString());
        return printed(text("url").toString());
    }
    for (const char *key : {"cdpUrl", "report", "snapshot", "title", "text", "html", "value"}) {
        if (text(key).isString())
            return printed(text(key).toString());
    }
    if (text("count").isDouble())
        return printed(QString::number(text("count").toInteger()));
    for (const char *key : unprintedMembers) {
        if (data.contains(QLatin1String(key)))
            return std::nullopt;
    }
    for (const char *key : {"visible", "enabled", "checked"}) {
        if (text(key).isBool())
            return printed(text(key).toBool() ? QStringLiteral("true") : QStringLiteral("false"));
    }
    if (data.contains(QStringLiteral("result"))) {
        const QString raw = reply.toString();
        const QString rawData = rawMembers(raw, raw.indexOf(QLatin1Char('{'))).value(QStringLiteral("data")).toString();
        return printed(prettyJson(rawMembers(rawData, 0).value(QStringLiteral("result"))));
    }
    if (text("tabs").isArray())
        return note + tabLines(text("tabs").toArray());
    if (text("tabId").isString()) {
        const QString id = text("tabId").toString();
        if (action == QLatin1String("tab_switch")) {
            const QString why = text("revived").toBool() ? QStringLiteral(" (revived, page may have reloaded)")
                : text("dialogBlocked").toBool()
                ? QStringLiteral(" (dialog open, resolve it with `dialog accept`/`dialog dismiss`)")
                : QString();
            return printed(QStringLiteral("\u2713 Switched to tab [") + id + QLatin1Char(']') + why);
        }
        if (text("total").isDouble()) {
            const QString label = text("label").isString() ? text("label").toString() + QLatin1Char(' ') : QString();
            return printed(QStringLiteral("\u2713 Tab opened [") + id + QStringLiteral("] ") + label + QLatin1Char('(')
                           + QString::number(text("total").toInteger()) + QStringLiteral(" total)"));
        }
    }
    if (data.contains(QStringLiteral("closed"))) {
        if (action != QLatin1String("tab_close"))
            return printed(QStringLiteral("\u2713 Browser closed"));
        if (!text("tabId").isString())
            return printed(QStringLiteral("\u2713 Tab closed"));
        return printed(QStringLiteral("\u2713 Tab [") + text("tabId").toString() + QStringLiteral("] closed")
                       + (text("activeTabRevived").toBool()
                              ? QStringLiteral(" (active tab revived, page may have reloaded)")
                              : QString()));
    }
    if (text("path").isString()) {
        if (action != QLatin1String("screenshot"))
            return std::nullopt;
        return printed(QStringLiteral("\u2713 Screenshot saved to ") + text("path").toString());
    }
    if (text("note").isString())
        return printed(text("note").toString());
    return note + QStringLiteral("\u2713 Done\n") + warningLine;
}

} // namespace corvane
