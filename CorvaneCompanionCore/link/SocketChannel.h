#pragma once

// The job channel: one WebSocket connection per call of runSocket, which
// blocks its thread for the connection's whole life, runs each job through
// the driver on that thread, replies over the socket and again over HTTP,
// and returns how the connection ended.

#include "driver/DriverResult.h"
#include "link/LinkState.h"
#include "link/LinkStore.h"

#include "UrlSession.h"

#include <QJsonObject>
#include <QString>

#include <functional>
#include <optional>
#include <stop_token>

namespace corvane {

class Driver;

inline const QString heartbeatText = QStringLiteral(R"({"heartbeat":true})");
inline constexpr int goingAwayCloseCode = 1001;

// The channel's fixed rhythm. Only tests pass other values.
struct SocketTimings {
    double receiveTurn = 8.0; // a heartbeat goes out after each silent turn
    double heartbeatWait = 4.0;
    double replyWait = 8.0;
    double preemptAfter = 80.0; // reconnect after a message once this old, unless the server sent a heartbeat
};

// `ready` runs (on the session's thread) once the handshake has completed:
// only then is the companion connected. Once `stop` is requested, the
// connection ends as "idle" without waiting for the next message.
LoopResult runSocket(const CompanionLink &link, Driver &driver, platform::UrlSession &session,
                     const SocketTimings &timings = {}, std::function<void()> ready = {}, std::stop_token stop = {});

// A control message of the service.
enum class SocketControl { refresh, heartbeat, waiting };
// Its word on the wire and in the log ("socket.<word>").
QString socketControlWord(SocketControl control);

// "refresh", "heartbeat" or "waiting": the first of them whose member is the
// boolean true; none otherwise.
std::optional<SocketControl> socketControl(const QJsonObject &message);

// What one text frame from the service says.
struct SocketMessage {
    enum class Kind {
        bad, // not a JSON object: the connection ends
        control, // `control` says which
        job, // a non-empty `id`, its `path` and `body`
        ignored, // an object that is neither
    };
    Kind kind = Kind::bad;
    SocketControl control = SocketControl::heartbeat;
    QString id;
    QString path;
    Body body;
};
SocketMessage readSocketMessage(const QString &text);

} // namespace corvane
