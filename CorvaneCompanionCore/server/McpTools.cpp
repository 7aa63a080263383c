#include "server/McpTools.h"

#include <QHash>

namespace corvane {

namespace {

// The list goes into every conversation: its words are few, and what all
// actions share is said once, in the server's instructions.
const QString pageAfterNote = QStringLiteral(" Returns the page after it.");

// Arguments that are numbers; all others are strings.
bool isNumberArgument(const QString &name)
{
    return name == QLatin1String("timeout") || name == QLatin1String("wait") || name == QLatin1String("tab");
}

QString argumentDescription(const QString &name)
{
    static const QHash<QString, QString> descriptions{
        {QStringLiteral("url"), QStringLiteral("An http(s) address.")},
        {QStringLiteral("ref"), QStringLiteral("A ref from the snapshot, such as e3.")},
        {QStringLiteral("direction"), QStringLiteral("up, down (default), left or right.")},
        {QStringLiteral("command"), QStringLiteral("Such as \"get text e3\".")},
        {QStringLiteral("key"), QStringLiteral("Such as Enter, Tab or Control+a.")},
        {QStringLiteral("value"), QStringLiteral("The option's value or label.")},
        {QStringLiteral("file"), QStringLiteral("A file name in the exchange folder.")},
        {QStringLiteral("tab"), QStringLiteral("A number from the list.")},
        {QStringLiteral("timeout"), QStringLiteral("Seconds, at most 15.")},
        {QStringLiteral("reason"), QStringLiteral("What the person should do.")},
        {QStringLiteral("wait"), QStringLiteral("Seconds, at most 600.")},
    };
    return descriptions.value(name);
}

QJsonObject inputSchema(const McpTool &tool)
{
    QJsonObject properties;
    for (const QString &name : tool.required + tool.optional) {
        QJsonObject property{{QStringLiteral("type"), isNumberArgument(name) ? QStringLiteral("number") : QStringLiteral("string")}};
        if (const QString description = argumentDescription(name); !description.isEmpty())
            property.insert(QStringLiteral("description"), description);
        properties.insert(name, property);
    }
    QJsonObject schema{{QStringLiteral("type"), QStringLiteral("object")}, {QStringLiteral("properties"), properties}};
    if (!tool.required.isEmpty())
        schema.insert(QStringLiteral("required"), QJsonArray::fromStringList(tool.required));
    return schema;
}

// What structuredContent holds. A tool that only reads never opens a tab,
// a dialog or a download, so its schema leaves those out.
QJsonObject outputSchema(const McpTool &tool)
{
    const auto typed = [](const char *type) { return QJsonObject{{QStringLiteral("type"), QLatin1String(type)}}; };
    QJsonObject properties{{QStringLiteral("ok"), typed("boolean")},
                           {QStringLiteral("needs_you"), typed("boolean")},
                           {QStringLiteral("url"), typed("string")},
                           {QStringLiteral("title"), typed("string")}};
    if (tool.effect != ToolEffect::reads) {
        properties.insert(QStringLiteral("new_tab"), typed("string"));
        properties.insert(QStringLiteral("dialog"), typed("object"));
        properties.insert(QStringLiteral("download"), typed("object"));
    }
    return {{QStringLiteral("type"), QStringLiteral("object")}, {QStringLiteral("properties"), properties}};
}

// Only what differs from the protocol's defaults (not read-only, destructive,
// open world) is worth a word, except that every tool says whether it
// reaches the web.
QJsonObject annotations(const McpTool &tool)
{
    QJsonObject hints{{QStringLiteral("openWorldHint"), tool.openWorld}};
    if (tool.effect == ToolEffect::reads)
        hints.insert(QStringLiteral("readOnlyHint"), true);
    else
        hints.insert(QStringLiteral("destructiveHint"), tool.effect == ToolEffect::mayDestroy);
    return hints;
}

QJsonObject textContent(const QString &text)
{
    return {{QStringLiteral("type"), QStringLiteral("text")}, {QStringLiteral("text"), text}};
}

QJsonObject structuredContent(const DriverResult &result)
{
    QJsonObject facts{{QStringLiteral("ok"), result.ok}, {QStringLiteral("needs_you"), result.needsYou}};
    if (!result.url.isEmpty())
        facts.insert(QStringLiteral("url"), result.url);
    if (!result.title.isEmpty())
        facts.insert(QStringLiteral("title"), result.title);
    if (!result.newTabUrl.isEmpty())
        facts.insert(QStringLiteral("new_tab"), result.newTabUrl);
    if (result.dialog) {
        facts.insert(QStringLiteral("dialog"), QJsonObject{{QStringLiteral("type"), result.dialog->kind},
                                                           {QStringLiteral("message"), result.dialog->message}});
    }
    if (result.download) {
        facts.insert(QStringLiteral("download"), QJsonObject{{QStringLiteral("name"), result.download->name},
                                                             {QStringLiteral("bytes"), result.download->bytes},
                                                             {QStringLiteral("path"), result.download->path},
                                                             {QStringLiteral("finished"), result.download->finished}});
    }
    return facts;
}

} // namespace

const QList<McpTool> &mcpTools()
{
    using E = ToolEffect;
    static const QList<McpTool> tools{
        {QStringLiteral("browser_open"), QStringLiteral("Open a page"), QStringLiteral("/open"),
         QStringLiteral("Open a web page in the work tab; returns its title and address."),
         {QStringLiteral("url")}, {}, E::changes},
        {QStringLiteral("browser_snapshot"), QStringLiteral("Page snapshot"), QStringLiteral("/snapshot"),
         QStringLiteral("List the page's interactive elements with their refs."), {}, {}, E::reads},
        {QStringLiteral("browser_click"), QStringLiteral("Click"), QStringLiteral("/click"),
         QStringLiteral("Click an element.") + pageAfterNote, {QStringLiteral("ref")}, {}, E::mayDestroy},
        {QStringLiteral("browser_fill"), QStringLiteral("Fill a field"), QStringLiteral("/fill"),
         QStringLiteral("Replace a field's text.") + pageAfterNote,
         {QStringLiteral("ref"), QStringLiteral("text")}, {}, E::mayDestroy},
        {QStringLiteral("browser_press"), QStringLiteral("Press a key"), QStringLiteral("/press"),
         QStringLiteral("Press a key, such as Enter to submit.") + pageAfterNote, {QStringLiteral("key")}, {},
         E::mayDestroy},
        {QStringLiteral("browser_select"), QStringLiteral("Choose an option"), QStringLiteral("/select"),
         QStringLiteral("Choose an option in a list.") + pageAfterNote,
         {QStringLiteral("ref"), QStringLiteral("value")}, {}, E::mayDestroy},
        {QStringLiteral("browser_scroll"), QStringLiteral("Scroll"), QStringLiteral("/scroll"),
         QStringLiteral("Scroll the page.") + pageAfterNote, {}, {QStringLiteral("direction")}, E::changes},
        {QStringLiteral("browser_back"), QStringLiteral("Go back"), QStringLiteral("/back"),
         QStringLiteral("Go back one page in the work tab.") + pageAfterNote, {}, {}, E::changes},
        {QStringLiteral("browser_wait_for"), QStringLiteral("Wait for a text"), QStringLiteral("/wait-for"),
         QStringLiteral("Wait until a text appears."), {QStringLiteral("text")},
         {QStringLiteral("timeout")}, E::reads},
        {QStringLiteral("browser_tabs"), QStringLiteral("Work tabs"), QStringLiteral("/tabs"),
         QStringLiteral("List the work's tabs, or switch to one."), {}, {QStringLiteral("tab")},
         E::changes},
        {QStringLiteral("browser_upload"), QStringLiteral("Upload a file"), QStringLiteral("/upload"),
         QStringLiteral("Put a file from the exchange folder into a file input."),
         {QStringLiteral("ref"), QStringLiteral("file")}, {}, E::mayDestroy},
        {QStringLiteral("browser_view"), QStringLiteral("Screenshot"), QStringLiteral("/view"),
         QStringLiteral("A JPEG screenshot of the page."), {}, {}, E::reads},
        {QStringLiteral("browser_hand_over"), QStringLiteral("Hand over to the person"), QStringLiteral("/hand-over"),
         QStringLiteral("Ask the person to act in the work tab (a captcha, a sign-in) and wait until they are done."),
         {QStringLiteral("reason")}, {QStringLiteral("wait")}, E::changes},
        {QStringLiteral("browser_cli"), QStringLiteral("Browser command"), QStringLiteral("/cli"),
         QStringLiteral("Run one agent-browser command the other tools do not cover."),
         {QStringLiteral("command")}, {}, E::mayDestroy},
        {QStringLiteral("browser_status"), QStringLiteral("Browser status"), QStringLiteral("/health"),
         QStringLiteral("Tell whether the companion's Chrome answers."), {}, {}, E::reads, false},
    };
    return tools;
}

const McpTool *findMcpTool(const QString &name)
{
    for (const McpTool &tool : mcpTools()) {
        if (tool.name == name)
            return &tool;
    }
    return nullptr;
}

QJsonArray mcpToolList()
{
    QJsonArray list;
    for (const McpTool &tool : mcpTools()) {
        list.append(QJsonObject{{QStringLiteral("name"), tool.name},
                                {QStringLiteral("title"), tool.title},
                                {QStringLiteral("description"), tool.description},
                                {QStringLiteral("inputSchema"), inputSchema(tool)},
                                {QStringLiteral("outputSchema"), outputSchema(tool)},
                                {QStringLiteral("annotations"), annotations(tool)}});
    }
    return list;
}

std::optional<Body> mcpToolBody(const McpTool &tool, const QJsonObject &arguments)
{
    Body body;
    for (const QString &name : tool.required + tool.optional) {
        const QJsonValue value = arguments.value(name);
        if (value.isUndefined() || value.isNull()) {
            if (tool.required.contains(name))
                return std::nullopt;
            continue;
        }
        if (value.isString())
            body.insert(name, value.toString());
        else if (isNumberArgument(name) && value.isDouble())
            body.insert(name, QString::number(value.toDouble()));
        else
            return std::nullopt;
    }
    return body;
}

QJsonObject mcpToolResult(const DriverResult &result)
{
    QString text = result.text;
    if (!result.title.isEmpty())
        text += QStringLiteral("\n\nPage title: ") + result.title;
    if (!result.url.isEmpty())
        text += (result.title.isEmpty() ? QStringLiteral("\n\n") : QStringLiteral("\n")) + QStringLiteral("Page URL: ")
            + result.url;
    if (result.needsYou)
        text += QStringLiteral("\n\n") + needsPersonSentence;

    QJsonArray content{textContent(text)};
    const QString jpegPrefix = QStringLiteral("data:image/jpeg;base64,");
    if (result.image.startsWith(jpegPrefix)) {
        content.append(QJsonObject{{QStringLiteral("type"), QStringLiteral("image")},
                                   {QStringLiteral("data"), result.image.mid(jpegPrefix.size())},
                                   {QStringLiteral("mimeType"), QStringLiteral("image/jpeg")}});
    }
    QJsonObject answer{{QStringLiteral("content"), content}, {QStringLiteral("structuredContent"), structuredContent(result)}};
    if (!result.ok)
        answer.insert(QStringLiteral("isError"), true);
    return answer;
}

} // namespace corvane
