#pragma once

// A short conversation with the user's own Chrome over its debugging
// protocol, for what the tool does not tell: where downloads go and when
// they end, when a page's requests are done, which tab is in front. Calls
// block the caller's thread until their reply or a deadline; events that
// come meanwhile wait in order for nextEvent().

#include "Dispatch.h"
#include "WebSocketTask.h"

#include <QJsonObject>
#include <QString>

#include <deque>
#include <memory>
#include <optional>

namespace corvane {

struct DevToolsEvent {
    QString method;
    QJsonObject params;
    QString sessionId; // empty for the browser's own events
};

struct DevToolsReply {
    bool ok = false;
    QJsonObject result;
    QString error; // Chrome's message, or why no reply came
};

class DevToolsSession {
public:
    // The browser endpoint of the Chrome on 127.0.0.1:`port`, once its
    // listener is known to be the user's own; none otherwise, or when no
    // connection is made within `limit` seconds.
    static std::unique_ptr<DevToolsSession> connect(qint64 port, double limit);
    ~DevToolsSession();
    DevToolsSession(const DevToolsSession &) = delete;
    DevToolsSession &operator=(const DevToolsSession &) = delete;

    DevToolsReply call(const QString &method, const QJsonObject &params = {}, const QString &sessionId = {},
                       double limit = 3.0);
    // The oldest event not taken yet, waiting up to `seconds` for one.
    std::optional<DevToolsEvent> nextEvent(double seconds);
    bool alive() const { return failure_.isEmpty(); }
    // Drops the events taken so far: after a call's reply, they are all
    // older than the call.
    void forgetEvents() { events_.clear(); }

private:
    explicit DevToolsSession(std::unique_ptr<platform::WebSocketTask> task);
    // Takes one message within `seconds`: queues an event, or returns the reply it is.
    std::optional<QJsonObject> receiveOne(double seconds);

    std::unique_ptr<platform::WebSocketTask> task_;
    // The receive posted and not answered yet: one at a time, kept across
    // waits that ended first.
    std::shared_ptr<platform::OneShot<platform::WebSocketReceived>> pending_;
    std::deque<DevToolsEvent> events_;
    QString failure_;
    int nextId_ = 1;
};

} // namespace corvane
