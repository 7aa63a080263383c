#pragma once

// The catalogue of browser actions: one row per driver path, with everything
// the channels need to know of it (its MCP tool, its arguments, who may send
// it, how it runs). Adding an action is adding a row.

#include "driver/CallControl.h"
#include "driver/DriverResult.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace corvane {

// What a tool does to the world, as the MCP hints say it.
enum class ToolEffect {
    reads, // only looks
    changes, // acts on the page, nothing that cannot be undone
    mayDestroy, // clicks, types, submits: may do what cannot be undone
};

enum class ArgKind { text, number };

// What an HTTP request must carry of an argument before anything runs.
enum class ArgNeed {
    optional,
    given, // present, possibly empty
    nonEmpty,
};

// What of an argument the page gets typed into it: kept out of the log.
enum class ArgTyped {
    no,
    whole, // the text itself
    freeTexts, // the free texts of the command it holds
};

struct ActionArg {
    QString name;
    ArgKind kind = ArgKind::text;
    ArgNeed need = ArgNeed::optional;
    bool mcpRequired = false; // an MCP call must name it (HTTP may be laxer)
    QString description;
    ArgTyped typed = ArgTyped::no;
};

enum class ActionRun {
    free, // answered at once: no lock, no Chrome started, never busy
    checked, // the page is checked for a person's check first, then the action is watched
    watched, // the action is watched until the page settles
    reads, // only reads the page
    own, // its handler does all of it
};

// What a handler is given.
class Job;

struct ActionCall {
    Job &job;
    const Body &body;
    const CallControl &control;
    bool chromeReady = false; // as probed at the start of the request
};

using ActionCommand = std::function<QStringList(const Body &)>;
using ActionHandler = std::function<DriverResult(const ActionCall &)>;

struct Action {
    QString path = {};
    // Its MCP tool; none for paths MCP does not offer.
    QString tool = {};
    QString title = {};
    QString description = {};
    ToolEffect effect = ToolEffect::changes;
    bool openWorld = true; // reaches the web
    QList<ActionArg> args = {};
    // The input message when an argument it needs is missing.
    QString refusal = {};
    bool chat = false; // the chat service may send it
    ActionRun run = ActionRun::own;
    ActionCommand command = {}; // checked and watched: the tool's words
    ActionHandler handler = {}; // free, reads and own

    QStringList mcpRequired() const;
};

// Every action, in the order MCP lists its tools.
const QList<Action> &actions();
const Action *findAction(const QString &path);
const Action *findActionByTool(const QString &tool);

// True when the body lacks an argument the action needs over HTTP.
bool missesArgument(const Action &action, const Body &body);

} // namespace corvane
