#include "server/McpTools.h"

namespace corvane {

namespace {

const QString everyActionNote =
    QStringLiteral(" Every action happens in the companion's own work tab of the user's Chrome.");
const QString refNote = QStringLiteral(" Refs such as e3 come from the latest browser_snapshot.");

QJsonObject stringProperty(const QString &description)
{
    return {{QStringLiteral("type"), QStringLiteral("string")}, {QStringLiteral("description"), description}};
}

QString propertyDescription(const QString &name)
{
    if (name == QLatin1String("url"))
        return QStringLiteral("The http(s) address to open.");
    if (name == QLatin1String("ref"))
        return QStringLiteral("The element's ref from the latest snapshot, such as e3.");
    if (name == QLatin1String("text"))
        return QStringLiteral("The text to type into the field; it replaces what is there.");
    if (name == QLatin1String("direction"))
        return QStringLiteral("up, down, left or right (default down).");
    if (name == QLatin1String("command"))
        return QStringLiteral("An agent-browser command line without the program name, such as \"get text e3\".");
    return {};
}

QJsonObject inputSchema(const McpTool &tool)
{
    QJsonObject properties;
    for (const QString &name : tool.required + tool.optional)
        properties.insert(name, stringProperty(propertyDescription(name)));
    QJsonObject schema{{QStringLiteral("type"), QStringLiteral("object")}, {QStringLiteral("properties"), properties}};
    if (!tool.required.isEmpty())
        schema.insert(QStringLiteral("required"), QJsonArray::fromStringList(tool.required));
    return schema;
}

QJsonObject textContent(const QString &text)
{
    return {{QStringLiteral("type"), QStringLiteral("text")}, {QStringLiteral("text"), text}};
}

} // namespace

const QList<McpTool> &mcpTools()
{
    static const QList<McpTool> tools{
        {QStringLiteral("browser_open"), QStringLiteral("/open"),
         QStringLiteral("Open a web page in the browser and return the page's interactive elements with their refs.")
             + everyActionNote,
         {QStringLiteral("url")}, {}},
        {QStringLiteral("browser_snapshot"), QStringLiteral("/snapshot"),
         QStringLiteral("List the current page's interactive elements with their refs; take one before clicking or "
                        "filling.")
             + everyActionNote,
         {}, {}},
        {QStringLiteral("browser_click"), QStringLiteral("/click"),
         QStringLiteral("Click an element and return the page as it is afterwards.") + refNote + everyActionNote,
         {QStringLiteral("ref")}, {}},
        {QStringLiteral("browser_fill"), QStringLiteral("/fill"),
         QStringLiteral("Type text into an input field, replacing what it holds.") + refNote + everyActionNote,
         {QStringLiteral("ref"), QStringLiteral("text")}, {}},
        {QStringLiteral("browser_scroll"), QStringLiteral("/scroll"),
         QStringLiteral("Scroll the page and return what is then in view.") + everyActionNote, {},
         {QStringLiteral("direction")}},
        {QStringLiteral("browser_view"), QStringLiteral("/view"),
         QStringLiteral("Take a screenshot of the page as a JPEG image, with its title and address.")
             + everyActionNote,
         {}, {}},
        {QStringLiteral("browser_cli"), QStringLiteral("/cli"),
         QStringLiteral("Run one agent-browser command, for what the other tools do not cover (\"get text e3\", "
                        "\"press Enter\", \"dialog accept\").")
             + refNote + everyActionNote,
         {QStringLiteral("command")}, {}},
        {QStringLiteral("browser_status"), QStringLiteral("/health"),
         QStringLiteral("Tell whether the companion's Chrome answers on its debugging port."), {}, {}},
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
                                {QStringLiteral("description"), tool.description},
                                {QStringLiteral("inputSchema"), inputSchema(tool)}});
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
        if (!value.isString())
            return std::nullopt;
        body.insert(name, value.toString());
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
    QJsonObject answer{{QStringLiteral("content"), content}};
    if (!result.ok)
        answer.insert(QStringLiteral("isError"), true);
    return answer;
}

} // namespace corvane
