#include "driver/Actions.h"

#include "driver/Steps.h"

#include <algorithm>

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
    const auto value = [](const Body &body, const char *key) { return body.value(QLatin1String(key)); };

    return {
        {QStringLiteral("/open"),
         QStringLiteral("browser_open"),
         QStringLiteral("Open a page"),
         QStringLiteral("Open a web page in the work tab; returns its title and address."),
         E::changes,
         true,
         {text("url", ArgNeed::nonEmpty, true, "An http(s) address.")},
         openNeedsPageText,
         true,
         R::own,
         {},
         openStep},
        {QStringLiteral("/snapshot"),
         QStringLiteral("browser_snapshot"),
         QStringLiteral("Page snapshot"),
         QStringLiteral("List the page's interactive elements with their refs."),
         E::reads,
         true,
         {},
         {},
         true,
         R::reads,
         {},
         snapshotStep},
        {QStringLiteral("/click"),
         QStringLiteral("browser_click"),
         QStringLiteral("Click"),
         QStringLiteral("Click an element.") + pageAfterNote,
         E::mayDestroy,
         true,
         {ref()},
         QStringLiteral("click needs a ref."),
         true,
         R::checked,
         [=](const Body &body) {
             return QStringList {QStringLiteral("click"), value(body, "ref")};
         }},
        // Over HTTP an absent text empties the field; MCP asks for it.
        {QStringLiteral("/fill"),
         QStringLiteral("browser_fill"),
         QStringLiteral("Fill a field"),
         QStringLiteral("Replace a field's text.") + pageAfterNote,
         E::mayDestroy,
         true,
         {ref(), text("text", ArgNeed::optional, true, "", ArgTyped::whole)},
         QStringLiteral("fill needs a ref."),
         true,
         R::checked,
         [=](const Body &body) {
             return QStringList {QStringLiteral("fill"), value(body, "ref"), value(body, "text")};
         }},
        {QStringLiteral("/press"),
         QStringLiteral("browser_press"),
         QStringLiteral("Press a key"),
         QStringLiteral("Press a key, such as Enter to submit.") + pageAfterNote,
         E::mayDestroy,
         true,
         {text("key", ArgNeed::nonEmpty, true, "Such as Enter, Tab or Control+a.")},
         QStringLiteral("press needs a key, such as Enter."),
         false,
         R::checked,
         [=](const Body &body) {
             return QStringList {QStringLiteral("press"), value(body, "key")};
         }},
        {QStringLiteral("/select"),
         QStringLiteral("browser_select"),
         QStringLiteral("Choose an option"),
         QStringLiteral("Choose an option in a list.") + pageAfterNote,
         E::mayDestroy,
         true,
         {ref(), text("value", ArgNeed::given, true, "The option's value or label.")},
         QStringLiteral("select needs a ref and a value."),
         false,
         R::checked,
         [=](const Body &body) {
             return QStringList {QStringLiteral("select"), value(body, "ref"), value(body, "value")};
         }},
        {QStringLiteral("/hover"),
         QStringLiteral("browser_hover"),
         QStringLiteral("Hover"),
         QStringLiteral("Move the pointer over an element, as to open its menu.") + pageAfterNote,
         E::changes,
         true,
         {ref()},
         QStringLiteral("hover needs a ref."),
         false,
         R::checked,
         [=](const Body &body) {
             return QStringList {QStringLiteral("hover"), value(body, "ref")};
         }},
        {QStringLiteral("/scroll"),
         QStringLiteral("browser_scroll"),
         QStringLiteral("Scroll"),
         QStringLiteral("Scroll the page.") + pageAfterNote,
         E::changes,
         true,
         {text("direction", ArgNeed::optional, false, "up, down (default), left or right.")},
         {},
         true,
         R::watched,
         [](const Body &body) {
             return QStringList {QStringLiteral("scroll"),
                                 firstGiven(body, {"direction", "target", "ref"}, QStringLiteral("down"))};
         }},
        {QStringLiteral("/back"),
         QStringLiteral("browser_back"),
         QStringLiteral("Go back"),
         QStringLiteral("Go back one page in the work tab.") + pageAfterNote,
         E::changes,
         true,
         {},
         {},
         false,
         R::checked,
         [](const Body &) { return QStringList {QStringLiteral("back")}; }},
        {QStringLiteral("/wait-for"),
         QStringLiteral("browser_wait_for"),
         QStringLiteral("Wait for a text"),
         QStringLiteral("Wait until a text appears."),
         E::reads,
         true,
         {text("text", ArgNeed::nonEmpty, true, ""), number("timeout", "Seconds, at most 15.")},
         QStringLiteral("wait-for needs a text."),
         false,
         R::watched,
         waitForCommand},
        {QStringLiteral("/tabs"),
         QStringLiteral("browser_tabs"),
         QStringLiteral("Work tabs"),
         QStringLiteral("List the work's tabs, or switch to one."),
         E::changes,
         true,
         {number("tab", "A number from the list.")},
         {},
         false,
         R::own,
         {},
         tabsStep},
        {QStringLiteral("/upload"),
         QStringLiteral("browser_upload"),
         QStringLiteral("Upload a file"),
         QStringLiteral("Put a file from the exchange folder into a file input."),
         E::mayDestroy,
         true,
         {ref(), text("file", ArgNeed::nonEmpty, true, "A file name in the exchange folder.")},
         QStringLiteral("upload needs a ref and a file name."),
         false,
         R::own,
         {},
         uploadStep},
        {QStringLiteral("/view"),
         QStringLiteral("browser_view"),
         QStringLiteral("Screenshot"),
         QStringLiteral("A JPEG screenshot of the page."),
         E::reads,
         true,
         {},
         {},
         true,
         R::reads,
         {},
         viewStep},
        // The reason may be empty over HTTP: the person is still asked.
        {QStringLiteral("/hand-over"),
         QStringLiteral("browser_hand_over"),
         QStringLiteral("Hand over to the person"),
         QStringLiteral("Ask the person to act in the work tab (a captcha, a sign-in) and wait until they are done."),
         E::changes,
         true,
         {text("reason", ArgNeed::optional, true, "What the person should do."),
          number("wait", "Seconds, at most 600.")},
         {},
         false,
         R::own,
         {},
         handOverStep},
        // The command may come as "command", "args" or "text" over HTTP; MCP names one.
        {QStringLiteral("/cli"),
         QStringLiteral("browser_cli"),
         QStringLiteral("Browser command"),
         QStringLiteral("Run one agent-browser command the other tools do not cover."),
         E::mayDestroy,
         true,
         {text("command", ArgNeed::optional, true, "Such as \"get text e3\".", ArgTyped::freeTexts)},
         {},
         true,
         R::own,
         {},
         cliStep},
        {QStringLiteral("/health"),
         QStringLiteral("browser_status"),
         QStringLiteral("Browser status"),
         QStringLiteral("Tell whether the companion's Chrome answers."),
         E::reads,
         false,
         {},
         {},
         false,
         R::free,
         {},
         healthStep},
        {QStringLiteral("/hand-back"), {}, {}, {}, E::changes, false, {}, {}, false, R::free, {}, handBackStep},
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

QStringList Action::argNames() const
{
    QStringList names;
    for (const ActionArg &arg : args)
        names.append(arg.name);
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
