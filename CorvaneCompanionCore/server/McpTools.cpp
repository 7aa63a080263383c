#include "server/McpTools.h"

namespace corvane {

namespace {

QJsonObject inputSchema(const Action &tool)
{
    QJsonObject properties;
    for (const ActionArg &arg : tool.args) {
        QJsonObject property {{QStringLiteral("type"),
                               arg.kind == ArgKind::number ? QStringLiteral("number") : QStringLiteral("string")}};
        if (!arg.description.isEmpty())
            property.insert(QStringLiteral("description"), arg.description);
        properties.insert(arg.name, property);
    }
    QJsonObject schema {{QStringLiteral("type"), QStringLiteral("object")}, {QStringLiteral("properties"), properties}};
    if (const QStringList required = tool.mcpRequired(); !required.isEmpty())
        schema.insert(QStringLiteral("required"), QJsonArray::fromStringList(required));
    return schema;
}

// What structuredContent holds. A tool that only reads never opens a tab,
// a dialog or a download, so its schema leaves those out.
QJsonObject outputSchema(const Action &tool)
{
    const auto typed = [](const char *type) { return QJsonObject {{QStringLiteral("type"), QLatin1String(type)}}; };
    QJsonObject properties {{QStringLiteral("ok"), typed("boolean")},
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
QJsonObject annotations(const Action &tool)
{
    QJsonObject hints {{QStringLiteral("openWorldHint"), tool.openWorld}};
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
    QJsonObject facts {{QStringLiteral("ok"), result.ok}, {QStringLiteral("needs_you"), result.needsYou}};
    if (!result.url.isEmpty())
        facts.insert(QStringLiteral("url"), result.url);
    if (!result.title.isEmpty())
        facts.insert(QStringLiteral("title"), result.title);
    const QJsonObject details = result.details();
    for (auto detail = details.begin(); detail != details.end(); ++detail)
        facts.insert(detail.key(), detail.value());
    return facts;
}

} // namespace

const Action *findMcpTool(const QString &name)
{
    return findActionByTool(name);
}

QJsonArray mcpToolList()
{
    QJsonArray list;
    for (const Action &tool : actions()) {
        if (tool.tool.isEmpty())
            continue;
        list.append(QJsonObject {{QStringLiteral("name"), tool.tool},
                                 {QStringLiteral("title"), tool.title},
                                 {QStringLiteral("description"), tool.description},
                                 {QStringLiteral("inputSchema"), inputSchema(tool)},
                                 {QStringLiteral("outputSchema"), outputSchema(tool)},
                                 {QStringLiteral("annotations"), annotations(tool)}});
    }
    return list;
}

std::optional<Body> mcpToolBody(const Action &tool, const QJsonObject &arguments)
{
    Body body;
    for (const ActionArg &arg : tool.args) {
        const QJsonValue value = arguments.value(arg.name);
        if (value.isUndefined() || value.isNull()) {
            if (arg.mcpRequired)
                return std::nullopt;
            continue;
        }
        if (value.isString())
            body.insert(arg.name, value.toString());
        else if (arg.kind == ArgKind::number && value.isDouble())
            body.insert(arg.name, QString::number(value.toDouble()));
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

    QJsonArray content {textContent(text)};
    const QString jpegPrefix = QStringLiteral("data:image/jpeg;base64,");
    if (result.image.startsWith(jpegPrefix)) {
        content.append(QJsonObject {{QStringLiteral("type"), QStringLiteral("image")},
                                    {QStringLiteral("data"), result.image.mid(jpegPrefix.size())},
                                    {QStringLiteral("mimeType"), QStringLiteral("image/jpeg")}});
    }
    QJsonObject answer {{QStringLiteral("content"), content},
                        {QStringLiteral("structuredContent"), structuredContent(result)}};
    if (!result.ok)
        answer.insert(QStringLiteral("isError"), true);
    return answer;
}

} // namespace corvane
