#include "driver/Actions.h"

#include "driver/Steps.h"

#include <algorithm>
#include <vector>

namespace corvane {

namespace {

// The list goes into every conversation: its words are few, and what all
// actions share is said once, in the MCP server's instructions.
const QString pageAfterNote = QStringLiteral(" Returns the page after it.");

ActionArg ref()
{
    return {QStringLiteral("ref"), ArgKind::text, ArgNeed::nonEmpty, true,
            QStringLiteral("A ref from the snapshot, such as e3.")};
}

QString firstGiven(const Body &body, std::initializer_list<const char *> keys, const QString &otherwise)
{
    for (const char *key : keys) {
        const QString given = body.value(QLatin1String(key));
        if (!given.isEmpty())
            return given;
    }
    return otherwise;
}

// The tool's verb, then the body's values of `keys`, in order.
ActionCommand toolWords(const char *verb, std::initializer_list<const char *> keys)
{
    return [verb, names = std::vector<const char *>(keys)](const Body &body) {
        QStringList words {QLatin1String(verb)};
        for (const char *key : names)
            words.append(body.value(QLatin1String(key)));
        return words;
    };
}

QStringList waitForCommand(const Body &body)
{
    // Below the runner's own limit, so that the tool says it timed out.
    bool given = false;
    const double seconds = body.value(QStringLiteral("timeout")).toDouble(&given);
    const int limitMs
        = static_cast<int>(1000 * (given && seconds > 0 ? std::min(seconds, waitForLimit) : waitForLimit));
    return {QStringLiteral("wait"), QStringLiteral("--text"), body.value(QStringLiteral("text")),
            QStringLiteral("--timeout"), QString::number(limitMs)};
}

QList<Action> catalogue()
{
    using E = ToolEffect;
    using R = ActionRun;
    const auto text = [](const char *name, ArgNeed need, bool mcpRequired, const char *description,
                         ArgTyped typed = ArgTyped::no) {
        return ActionArg {QLatin1String(name), ArgKind::text, need, mcpRequired, QString::fromUtf8(description), typed};
    };
    const auto number = [](const char *name, const char *description) {
        return ActionArg {QLatin1String(name), ArgKind::number, ArgNeed::optional, false,
                          QString::fromUtf8(description)};
    };

    return {
        {.path = QStringLiteral("/open"),
         .tool = QStringLiteral("browser_open"),
         .title = QStringLiteral("Open a page"),
         .description = QStringLiteral("Open a web page in the work tab; returns its title and address."),
         .effect = E::changes,
         .args = {text("url", ArgNeed::nonEmpty, true, "An http(s) address.")},
         .refusal = openNeedsPageText,
         .chat = true,
         .run = R::own,
         .handler = openStep},
        {.path = QStringLiteral("/snapshot"),
         .tool = QStringLiteral("browser_snapshot"),
         .title = QStringLiteral("Page snapshot"),
         .description = QStringLiteral("List the page's interactive elements with their refs."),
         .effect = E::reads,
         .chat = true,
         .run = R::reads,
         .handler = snapshotStep},
        {.path = QStringLiteral("/click"),
         .tool = QStringLiteral("browser_click"),
         .title = QStringLiteral("Click"),
         .description = QStringLiteral("Click an element.") + pageAfterNote,
         .effect = E::mayDestroy,
         .args = {ref()},
         .refusal = QStringLiteral("click needs a ref."),
         .chat = true,
         .run = R::checked,
         .command = toolWords("click", {"ref"})},
        // Over HTTP an absent text empties the field; MCP asks for it.
        {.path = QStringLiteral("/fill"),
         .tool = QStringLiteral("browser_fill"),
         .title = QStringLiteral("Fill a field"),
         .description = QStringLiteral("Replace a field's text.") + pageAfterNote,
         .effect = E::mayDestroy,
         .args = {ref(), text("text", ArgNeed::optional, true, "", ArgTyped::whole)},
         .refusal = QStringLiteral("fill needs a ref."),
         .chat = true,
         .run = R::checked,
         .command = toolWords("fill", {"ref", "text"})},
        {.path = QStringLiteral("/press"),
         .tool = QStringLiteral("browser_press"),
         .title = QStringLiteral("Press a key"),
         .description = QStringLiteral("Press a key, such as Enter to submit.") + pageAfterNote,
         .effect = E::mayDestroy,
         .args = {text("key", ArgNeed::nonEmpty, true, "Such as Enter, Tab or Control+a.")},
         .refusal = QStringLiteral("press needs a key, such as Enter."),
         .run = R::checked,
         .command = toolWords("press", {"key"})},
        {.path = QStringLiteral("/select"),
         .tool = QStringLiteral("browser_select"),
         .title = QStringLiteral("Choose an option"),
         .description = QStringLiteral("Choose an option in a list.") + pageAfterNote,
         .effect = E::mayDestroy,
         .args = {ref(), text("value", ArgNeed::given, true, "The option's value or label.")},
         .refusal = QStringLiteral("select needs a ref and a value."),
         .run = R::checked,
         .command = toolWords("select", {"ref", "value"})},
        {.path = QStringLiteral("/hover"),
         .tool = QStringLiteral("browser_hover"),
         .title = QStringLiteral("Hover"),
         .description = QStringLiteral("Move the pointer over an element, as to open its menu.") + pageAfterNote,
         .effect = E::changes,
         .args = {ref()},
         .refusal = QStringLiteral("hover needs a ref."),
         .run = R::checked,
         .command = toolWords("hover", {"ref"})},
        {.path = QStringLiteral("/scroll"),
         .tool = QStringLiteral("browser_scroll"),
         .title = QStringLiteral("Scroll"),
         .description = QStringLiteral("Scroll the page.") + pageAfterNote,
         .effect = E::changes,
         .args = {text("direction", ArgNeed::optional, false, "up, down (default), left or right.")},
         .chat = true,
         .run = R::watched,
         .command =
             [](const Body &body) {
                 return QStringList {QStringLiteral("scroll"),
                                     firstGiven(body, {"direction", "target", "ref"}, QStringLiteral("down"))};
             }},
        {.path = QStringLiteral("/back"),
         .tool = QStringLiteral("browser_back"),
         .title = QStringLiteral("Go back"),
         .description = QStringLiteral("Go back one page in the work tab.") + pageAfterNote,
         .effect = E::changes,
         .run = R::checked,
         .command = toolWords("back", {})},
        {.path = QStringLiteral("/wait-for"),
         .tool = QStringLiteral("browser_wait_for"),
         .title = QStringLiteral("Wait for a text"),
         .description = QStringLiteral("Wait until a text appears."),
         .effect = E::reads,
         .args = {text("text", ArgNeed::nonEmpty, true, ""), number("timeout", "Seconds, at most 15.")},
         .refusal = QStringLiteral("wait-for needs a text."),
         .run = R::watched,
         .command = waitForCommand},
        {.path = QStringLiteral("/tabs"),
         .tool = QStringLiteral("browser_tabs"),
         .title = QStringLiteral("Work tabs"),
         .description = QStringLiteral("List the work's tabs, or switch to one."),
         .effect = E::changes,
         .args = {number("tab", "A number from the list.")},
         .run = R::own,
         .handler = tabsStep},
        {.path = QStringLiteral("/upload"),
         .tool = QStringLiteral("browser_upload"),
         .title = QStringLiteral("Upload a file"),
         .description = QStringLiteral("Put a file from the exchange folder into a file input."),
         .effect = E::mayDestroy,
         .args = {ref(), text("file", ArgNeed::nonEmpty, true, "A file name in the exchange folder.")},
         .refusal = QStringLiteral("upload needs a ref and a file name."),
         .run = R::own,
         .handler = uploadStep},
        {.path = QStringLiteral("/view"),
         .tool = QStringLiteral("browser_view"),
         .title = QStringLiteral("Screenshot"),
         .description = QStringLiteral("A JPEG screenshot of the page."),
         .effect = E::reads,
         .chat = true,
         .run = R::reads,
         .handler = viewStep},
        // The reason may be empty over HTTP: the person is still asked.
        {.path = QStringLiteral("/hand-over"),
         .tool = QStringLiteral("browser_hand_over"),
         .title = QStringLiteral("Hand over to the person"),
         .description
         = QStringLiteral("Ask the person to act in the work tab (a captcha, a sign-in) and wait until they are done."),
         .effect = E::changes,
         .args = {text("reason", ArgNeed::optional, true, "What the person should do."),
                  number("wait", "Seconds, at most 600.")},
         .run = R::own,
         .handler = handOverStep},
        // The command may come as "command", "args" or "text" over HTTP; MCP names one.
        {.path = QStringLiteral("/cli"),
         .tool = QStringLiteral("browser_cli"),
         .title = QStringLiteral("Browser command"),
         .description = QStringLiteral("Run one agent-browser command the other tools do not cover."),
         .effect = E::mayDestroy,
         .args = {text("command", ArgNeed::optional, true, "Such as \"get text e3\".", ArgTyped::freeTexts)},
         .chat = true,
         .run = R::own,
         .handler = cliStep},
        {.path = QStringLiteral("/health"),
         .tool = QStringLiteral("browser_status"),
         .title = QStringLiteral("Browser status"),
         .description = QStringLiteral("Tell whether the companion's Chrome answers."),
         .effect = E::reads,
         .openWorld = false,
         .run = R::free,
         .handler = healthStep},
        {.path = QStringLiteral("/hand-back"),
         .effect = E::changes,
         .openWorld = false,
         .run = R::free,
         .handler = handBackStep},
    };
}

} // namespace

QStringList Action::mcpRequired() const
{
    QStringList names;
    for (const ActionArg &arg : args) {
        if (arg.mcpRequired)
            names.append(arg.name);
    }
    return names;
}

const QList<Action> &actions()
{
    static const QList<Action> all = catalogue();
    return all;
}

const Action *findAction(const QString &path)
{
    // "/" is the old name of the health check.
    const QString wanted = path == QLatin1String("/") ? QStringLiteral("/health") : path;
    const auto found
        = std::find_if(actions().cbegin(), actions().cend(), [&](const Action &a) { return a.path == wanted; });
    return found == actions().cend() ? nullptr : &*found;
}

const Action *findActionByTool(const QString &tool)
{
    if (tool.isEmpty())
        return nullptr;
    const auto found
        = std::find_if(actions().cbegin(), actions().cend(), [&](const Action &a) { return a.tool == tool; });
    return found == actions().cend() ? nullptr : &*found;
}

bool missesArgument(const Action &action, const Body &body)
{
    return std::any_of(action.args.cbegin(), action.args.cend(), [&](const ActionArg &arg) {
        switch (arg.need) {
        case ArgNeed::optional:
            return false;
        case ArgNeed::given:
            return !body.contains(arg.name);
        case ArgNeed::nonEmpty:
            return body.value(arg.name).isEmpty();
        }
        return true;
    });
}

} // namespace corvane
