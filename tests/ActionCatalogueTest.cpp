// The catalogue of actions against what each channel makes of it: an MCP call
// that its schema accepts must never meet the HTTP input refusal, and every
// action is served on the channels its row names.

#include "driver/Actions.h"
#include "driver/Driver.h"
#include "server/McpTools.h"

#include "QtPrinting.h"

#include <QJsonArray>

#include <gtest/gtest.h>

using namespace corvane;

namespace {

struct ActionCase {
    const char *path;
    const char *tool; // "" when MCP does not offer it
    bool chat;
    bool readOnly;
};

// One row per action.
const ActionCase expectedActions[] = {
    {"/open", "browser_open", true, false},    {"/snapshot", "browser_snapshot", true, true},
    {"/click", "browser_click", true, false},  {"/fill", "browser_fill", true, false},
    {"/press", "browser_press", false, false}, {"/select", "browser_select", false, false},
    {"/hover", "browser_hover", false, false}, {"/scroll", "browser_scroll", true, false},
    {"/back", "browser_back", false, false},   {"/wait-for", "browser_wait_for", false, true},
    {"/tabs", "browser_tabs", false, false},   {"/upload", "browser_upload", false, false},
    {"/view", "browser_view", true, true},     {"/hand-over", "browser_hand_over", false, false},
    {"/cli", "browser_cli", true, false},      {"/health", "browser_status", false, true},
    {"/hand-back", "", false, false},
};

QJsonObject listedTool(const QString &name)
{
    for (const QJsonValue tool : mcpToolList()) {
        if (tool[QStringLiteral("name")].toString() == name)
            return tool.toObject();
    }
    return {};
}

} // namespace

TEST(ActionCatalogue, EveryActionIsServedWhereItsRowSays)
{
    QStringList paths;
    for (const Action &action : actions())
        paths << action.path;
    QStringList expected;
    for (const ActionCase &c : expectedActions)
        expected << QLatin1String(c.path);
    EXPECT_EQ(paths, expected);

    for (const ActionCase &c : expectedActions) {
        SCOPED_TRACE(c.path);
        const QString path = QLatin1String(c.path);
        EXPECT_EQ(isChatPath(path), c.chat);
        EXPECT_EQ(isActionPath(path), path != QLatin1String("/health"));
        const QString tool = QLatin1String(c.tool);
        const QJsonObject listed = listedTool(tool);
        EXPECT_EQ(listed.isEmpty(), tool.isEmpty());
        if (tool.isEmpty())
            continue;
        ASSERT_NE(findMcpTool(tool), nullptr);
        EXPECT_EQ(findMcpTool(tool)->path, path);
        EXPECT_EQ(listed[QStringLiteral("annotations")][QStringLiteral("readOnlyHint")].toBool(), c.readOnly);
    }
    EXPECT_FALSE(isActionPath(QStringLiteral("/")));
    EXPECT_FALSE(isActionPath(QStringLiteral("/nothing")));
}

// The HTTP rule of each row against the schema MCP clients are given.
TEST(ActionCatalogue, WhatMcpAcceptsPassesTheHttpInputCheck)
{
    for (const Action &action : actions()) {
        if (action.tool.isEmpty())
            continue;
        SCOPED_TRACE(action.path.toStdString());
        const QJsonObject schema = listedTool(action.tool)[QStringLiteral("inputSchema")].toObject();
        QStringList required;
        for (const QJsonValue name : schema[QStringLiteral("required")].toArray())
            required << name.toString();
        QJsonObject arguments;
        for (const QString &name : required) {
            const bool number
                = schema[QStringLiteral("properties")][name][QStringLiteral("type")] == QStringLiteral("number");
            arguments.insert(name, number ? QJsonValue(5) : QJsonValue(QStringLiteral("x")));
        }
        const std::optional<Body> body = mcpToolBody(action, arguments);
        ASSERT_TRUE(body.has_value());
        EXPECT_FALSE(missesArgument(action, *body)) << "MCP's schema lets through what HTTP refuses";
        for (const ActionArg &arg : action.args) {
            if (arg.need != ArgNeed::optional) {
                EXPECT_TRUE(required.contains(arg.name)) << arg.name.toStdString();
                EXPECT_FALSE(action.refusal.isEmpty()) << "a needed argument has no input message";
            }
            EXPECT_TRUE(arg.typed == ArgTyped::no || arg.kind == ArgKind::text);
        }
        if (!required.isEmpty()) {
            EXPECT_FALSE(mcpToolBody(action, {}).has_value()) << "a call without its required arguments";
        }
    }
}
