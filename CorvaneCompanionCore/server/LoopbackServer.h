#pragma once

// The local HTTP server on 127.0.0.1:8766: one request per connection, the
// path and JSON body handed to the driver, the DriverResult JSON as the reply;
// /mcp speaks the Model Context Protocol over the same actions.
// Requests that are too large, slow, from another user of the machine or
// from a web page are turned away before they reach the browser.

#include "driver/DriverResult.h"
#include "server/McpHttp.h"
#include "wire/HttpMessage.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <memory>

namespace corvane {

namespace platform {
class LoopbackListener;
}

// Whether the server could start, and why not.
struct LoopbackStart {
    bool ok = false;
    QString error;
};

class Driver;

class LoopbackServer {
public:
    // `driver` outlives the server, which ends its connections first.
    explicit LoopbackServer(Driver &driver);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer &) = delete;
    LoopbackServer &operator=(const LoopbackServer &) = delete;

    [[nodiscard]] LoopbackStart start(quint16 port);
    // Stops accepting; the connections being served go on.
    void close();
    // Stops accepting, closes the connections still waiting for a request
    // and waits for the ones being served to end.
    void stop();
    // The port listened on (useful after start(0)); 0 when not listening.
    quint16 port() const;
    // How often accepting a connection has failed (descriptors ran out).
    int acceptFailures() const;

    // The whole HTTP logic: the bytes of one request in, the complete reply
    // out. `fromUser`: the peer is a program of the user's own.
    QByteArray handle(const QByteArray &request, bool fromUser = true);
    // The same, the reply written as it is made (an MCP event stream).
    void respond(const QByteArray &request, bool fromUser, const ReplyWriter &write);
    // A result as the reply: its object and its details.
    static QByteArray replyBytes(const QByteArray &status, const DriverResult &result);
    // A request turned away at the edge, as a failed result.
    static QByteArray refusalBytes(const Refusal &refusal);

private:
    Driver &driver_;
    const McpHttpEndpoint mcp_;
    std::unique_ptr<platform::LoopbackListener> listener_;
};

} // namespace corvane
