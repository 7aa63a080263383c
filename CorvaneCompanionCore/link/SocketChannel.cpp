#include "link/SocketChannel.h"

#include "diagnostics/EventLog.h"
#include "driver/Driver.h"
#include "link/ResultPosting.h"

#include "Dispatch.h"

#include <QJsonDocument>

#include <cmath>

namespace corvane {

namespace {

// A receive that ends the connection: the transport's error, or a frame that is not text.
bool isFailure(const platform::WebSocketReceived &received)
{
    return !received.error.isEmpty() || !received.isText;
}

bool socketSend(platform::WebSocketTask &task, const QString &text, double wait)
{
    auto box = platform::OneShot<QString>::make();
    task.send(text, [box](const QString &error) { box->fulfil(error); });
    const std::optional<QString> error = box->waitFor(wait);
    return error && error->isEmpty();
}

void socketReply(platform::WebSocketTask &task, const QString &jobId, const CompanionLink &link,
                 const DriverResult &driven, double wait)
{
    const QString text = utf8OrEmpty(QJsonDocument(resultObject(link, jobId, driven)).toJson(QJsonDocument::Compact));
    if (text.isEmpty())
        return;

    const Fields fields {{QStringLiteral("job"), jobLabel(jobId)}, {QStringLiteral("via"), QStringLiteral("socket")}};
    if (socketSend(task, text, wait)) {
        Fields sent = fields;
        sent.insert(QStringLiteral("ok"), yesNo(driven.ok));
        companionLog(QStringLiteral("job.reply"), sent);
    } else {
        companionLog(QStringLiteral("job.reply-fail"), fields);
    }
    // The HTTP copy may overlap the next job.
    queueResultPost(link, jobId, driven);
}

void runJob(platform::WebSocketTask &task, const CompanionLink &link, Driver &driver, const SocketMessage &message,
            double replyWait)
{
    const QString &id = message.id;
    const QString &path = message.path;
    const QString job = jobLabel(id);
    // What the job types stays out of every event about it, its result's text included.
    const LogMask mask(requestTypedTexts(path, message.body));
    companionLog(QStringLiteral("job.recv"),
                 {{QStringLiteral("path"), path},
                  {QStringLiteral("job"), job},
                  {QStringLiteral("via"), QStringLiteral("socket")}});

    const double started = platform::monotonicSeconds();
    const DriverResult result = driver.driveChatJob(path, message.body);
    const auto ms = static_cast<qint64>(std::trunc((platform::monotonicSeconds() - started) * 1000.0));

    companionLog(QStringLiteral("job.done"),
                 {{QStringLiteral("path"), path},
                  {QStringLiteral("job"), job},
                  {QStringLiteral("ok"), yesNo(result.ok)},
                  {QStringLiteral("chrome"), onOff(result.chrome)},
                  {QStringLiteral("needs_you"), yesNo(result.needsYou)},
                  {QStringLiteral("ms"), QString::number(ms)},
                  {QStringLiteral("text"), result.text}});
    socketReply(task, id, link, result, replyWait);
}

} // namespace

QString socketControlWord(SocketControl control)
{
    switch (control) {
    case SocketControl::refresh:
        return QStringLiteral("refresh");
    case SocketControl::heartbeat:
        return QStringLiteral("heartbeat");
    case SocketControl::waiting:
        return QStringLiteral("waiting");
    }
    return {};
}

std::optional<SocketControl> socketControl(const QJsonObject &message)
{
    for (const SocketControl control : {SocketControl::refresh, SocketControl::heartbeat, SocketControl::waiting}) {
        const QJsonValue value = message.value(socketControlWord(control));
        if (value.isBool() && value.toBool())
            return control;
    }
    return std::nullopt;
}

SocketMessage readSocketMessage(const QString &text)
{
    SocketMessage read;
    const std::optional<QJsonObject> object = jsonObjectFromText(text);
    if (!object)
        return read;
    if (const std::optional<SocketControl> control = socketControl(*object)) {
        read.kind = SocketMessage::Kind::control;
        read.control = *control;
        return read;
    }
    read.id = object->value(QStringLiteral("id")).toString();
    if (read.id.isEmpty()) {
        read.kind = SocketMessage::Kind::ignored;
        return read;
    }
    read.kind = SocketMessage::Kind::job;
    read.path = object->value(QStringLiteral("path")).toString();
    read.body = bodyFromObject(object->value(QStringLiteral("body")).toObject());
    return read;
}

LoopResult runSocket(const CompanionLink &link, Driver &driver, platform::UrlSession &session,
                     const SocketTimings &timings, std::function<void()> ready, std::stop_token stop)
{
    const Fields hostField {{QStringLiteral("host"), chatHostLabel(link.host)}};
    const auto withHost = [&](Fields fields) {
        fields.insert(hostField);
        return fields;
    };

    const std::optional<QUrl> url = link.socketURL();
    if (!url) {
        companionLog(QStringLiteral("socket.bad-host"), hostField);
        return LoopResult::badHost;
    }
    companionLog(QStringLiteral("socket.connect"), withHost({{QStringLiteral("scheme"), url->scheme()}}));
    const std::unique_ptr<platform::WebSocketTask> task = session.webSocketTask(*url);
    task->resume([hostField, ready = std::move(ready)] {
        companionLog(QStringLiteral("socket.ready"), hostField);
        if (ready)
            ready();
    });
    const double openedAt = platform::monotonicSeconds();
    bool serverHeartbeat = false;

    const auto close = [&](LoopResult result) {
        task->cancel(goingAwayCloseCode);
        return result;
    };
    const auto stillLinked = [&] {
        if (stop.stop_requested())
            return false;
        const std::optional<CompanionLink> stored = loadLink();
        return stored && *stored == link;
    };

    while (stillLinked()) {
        if (!serverHeartbeat && platform::monotonicSeconds() - openedAt >= timings.preemptAfter) {
            companionLog(QStringLiteral("socket.preempt"), hostField);
            return close(LoopResult::refresh);
        }

        // Each receive has its own box, so a late answer to an abandoned one
        // cannot reach a later wait.
        auto box = platform::OneShot<platform::WebSocketReceived>::make();
        task->receive([box](const platform::WebSocketReceived &received) { box->fulfil(received); });
        // A stop ends the wait at once; what arrives after it is not taken.
        const std::stop_callback woken(stop, [box] { box->fulfil({}); });
        std::optional<platform::WebSocketReceived> received;
        const auto receiveFailed = [&](const platform::WebSocketReceived &failed) {
            const QString error = failed.error.isEmpty() ? QStringLiteral("non-text") : failed.error;
            companionLog(QStringLiteral("socket.recv-fail"), withHost({{QStringLiteral("error"), error}}));
            return close(LoopResult::closed);
        };
        while (!(received = box->waitFor(timings.receiveTurn))) {
            if (!stillLinked())
                break;
            if (!socketSend(*task, heartbeatText, timings.heartbeatWait)) {
                // A connection that is already ending fails its receive too,
                // and that receive's reason is why it ended: the heartbeat
                // may only have been due while a message was being refused.
                if (const auto late = box->waitFor(timings.heartbeatWait); late && isFailure(*late))
                    return receiveFailed(*late);
                companionLog(QStringLiteral("socket.heartbeat-fail"), hostField);
                return close(LoopResult::closed);
            }
            companionLog(QStringLiteral("socket.heartbeat"), hostField);
        }
        if (!received || !stillLinked())
            break; // a message that has just arrived goes unanswered

        if (isFailure(*received))
            return receiveFailed(*received);
        const SocketMessage message = readSocketMessage(received->text);
        switch (message.kind) {
        case SocketMessage::Kind::bad:
            companionLog(QStringLiteral("socket.closed"),
                         withHost({{QStringLiteral("reason"), QStringLiteral("empty-or-bad-json")}}));
            return close(LoopResult::closed);
        case SocketMessage::Kind::control:
            companionLog(QStringLiteral("socket.") + socketControlWord(message.control), hostField);
            if (message.control == SocketControl::heartbeat) {
                serverHeartbeat = true;
                break;
            }
            return close(message.control == SocketControl::refresh ? LoopResult::refresh : LoopResult::waiting);
        case SocketMessage::Kind::ignored:
            break;
        case SocketMessage::Kind::job:
            runJob(*task, link, driver, message, timings.replyWait);
            break;
        }
    }
    companionLog(QStringLiteral("socket.idle"), hostField);
    return close(LoopResult::idle);
}

} // namespace corvane
