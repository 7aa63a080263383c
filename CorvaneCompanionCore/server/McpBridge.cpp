#include "server/McpBridge.h"

#include "server/McpProtocol.h"
#include "wire/CompanionPort.h"
#include "wire/HttpMessage.h"

#include "Dispatch.h"
#include "PeerUser.h"
#include "UrlSession.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QProcess>
#include <QUrl>
#include <QUuid>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

namespace corvane {

namespace {

constexpr double startWait = 10.0;
constexpr double startRetryGap = 60.0;
// A tool call may start Chrome and wait for a slow page, or for the person
// to hand the browser back (ten minutes at most).
constexpr double callWait = 660.0;
constexpr double progressEvery = 5.0;
constexpr double probeWait = 5.0;
constexpr int forwardLimit = 16; // requests forwarded at once, and notifications
// A larger message could not pass the local server anyway.
constexpr qsizetype lineLimit = requestBodyLimit;

// Standard output is the protocol's channel, written from several threads.
void writeMessage(const QJsonObject &message)
{
    static std::mutex mutex;
    const QByteArray line = QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
    std::lock_guard lock(mutex);
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
}

// One line of standard input without its newline; none at the end. A line
// past the limit is read to its end and given as `tooLong`.
std::optional<QByteArray> readLine(bool &tooLong)
{
    QByteArray line;
    tooLong = false;
    char chunk[64 * 1024];
    while (std::fgets(chunk, sizeof chunk, stdin)) {
        const qsizetype length = static_cast<qsizetype>(std::strlen(chunk));
        const bool ended = length > 0 && chunk[length - 1] == '\n';
        if (!tooLong) {
            line.append(chunk, ended ? length - 1 : length);
            if (line.size() > lineLimit) {
                tooLong = true;
                line.clear();
            }
        }
        if (ended)
            return line;
    }
    if (line.isEmpty() && !tooLong)
        return std::nullopt;
    return line;
}

// What answers on the companion's port.
enum class Listener { none, user, other };

Listener companionListener()
{
    const std::optional<QList<uint>> owners = platform::listeningPortOwners(companionPort);
    if (!owners)
        return Listener::other; // who listens cannot be told: never trusted
    if (owners->isEmpty())
        return Listener::none;
    const uint user = platform::currentUser();
    for (const uint owner : *owners) {
        if (owner != user)
            return Listener::other;
    }
    return Listener::user;
}

// While a call that asked for progress waits for its answer, the client
// hears every few seconds that it still runs.
class ProgressTicker {
public:
    explicit ProgressTicker(const McpMessage &message)
    {
        const std::optional<QJsonValue> token = mcpProgressToken(message);
        if (!token || message.method != QLatin1String("tools/call"))
            return;
        thread_ = std::thread([this, token = *token] {
            const double started = platform::monotonicSeconds();
            std::unique_lock lock(mutex_);
            while (!done_.wait_for(lock, std::chrono::duration<double>(progressEvery), [this] { return finished_; })) {
                writeMessage(mcpProgressNotification(token, platform::monotonicSeconds() - started, callWait,
                                                     QStringLiteral("Waiting for the companion's answer.")));
            }
        });
    }
    ~ProgressTicker()
    {
        if (!thread_.joinable())
            return;
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }
    ProgressTicker(const ProgressTicker &) = delete;
    ProgressTicker &operator=(const ProgressTicker &) = delete;

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

class Bridge {
public:
    // On the reader's thread: answered here, or forwarded on a thread of its
    // own, so a long call never holds up the next message.
    void take(const QByteArray &line);
    // The client has left: calls still running get a moment to end.
    void leave();

private:
    void forward(const QByteArray &line, const McpMessage &message);
    platform::HttpResponse post(const QByteArray &message, double wait);
    // The user's own companion is listening (started when nothing was);
    // else the answer the message gets here.
    std::optional<QJsonObject> reachCompanion(const McpMessage &message);
    bool startCompanion();

    const QUrl endpoint_ = QUrl(QStringLiteral("http://127.0.0.1:%1/mcp").arg(companionPort));
    std::mutex mutex_;
    std::condition_variable ended_;
    int running_ = 0;
    // The requests being forwarded, by id: the ones to call off when the
    // client leaves.
    QList<QJsonValue> requests_;
    QByteArray protocolVersion_;
    // The agent this bridge's client is, for the bridge's whole life: the
    // same whichever companion answers, also one that restarted meanwhile.
    const QByteArray session_ = "bridge-" + QUuid::createUuid().toRfc4122().toHex().left(12);
    std::mutex startMutex_; // one start at a time
    double startFailedAt_ = -startRetryGap;
    QString startFailure_;
};

platform::HttpResponse Bridge::post(const QByteArray &message, double wait)
{
    platform::HttpRequest request;
    request.url = endpoint_;
    request.method = "POST";
    request.body = message;
    request.timeoutSeconds = wait;
    // One JSON answer: the bridge tells the client of progress itself.
    request.headers = {{"Content-Type", "application/json"}, {"Accept", "application/json"}};
    {
        std::lock_guard lock(mutex_);
        if (!protocolVersion_.isEmpty())
            request.headers.append({"MCP-Protocol-Version", protocolVersion_});
    }
    request.headers.append({"Mcp-Session-Id", session_});
    auto answer = platform::OneShot<platform::HttpResponse>::make();
    platform::UrlSession::shared().dataTask(request, [answer](const platform::HttpResponse &response) {
        answer->fulfil(response);
    });
    platform::HttpResponse none;
    none.error = QStringLiteral("No answer.");
    return answer->waitFor(wait + 5.0).value_or(none);
}

bool Bridge::startCompanion()
{
    if (platform::monotonicSeconds() - startFailedAt_ < startRetryGap)
        return false; // startFailure_ still says why
    QProcess companion;
    companion.setProgram(QCoreApplication::applicationFilePath());
    companion.setArguments({QStringLiteral("--headless")});
    // Our standard output is the protocol's channel: nothing else may reach it.
    companion.setStandardInputFile(QProcess::nullDevice());
    companion.setStandardOutputFile(QProcess::nullDevice());
    companion.setStandardErrorFile(QProcess::nullDevice());
    if (!companion.startDetached()) {
        startFailure_ = QStringLiteral("could not be started: %1 would not start").arg(companion.program());
        startFailedAt_ = platform::monotonicSeconds();
        return false;
    }
    const double until = platform::monotonicSeconds() + startWait;
    while (platform::monotonicSeconds() < until) {
        if (companionListener() == Listener::user
            && post(R"({"jsonrpc":"2.0","id":0,"method":"ping"})", probeWait).isHttp)
            return true;
        platform::sleepFor(0.2);
    }
    startFailure_ = QStringLiteral("could not be started: it did not answer on 127.0.0.1:%1 within %2 seconds")
                        .arg(companionPort)
                        .arg(startWait);
    startFailedAt_ = platform::monotonicSeconds();
    return false;
}

std::optional<QJsonObject> Bridge::reachCompanion(const McpMessage &message)
{
    std::lock_guard lock(startMutex_);
    switch (companionListener()) {
    case Listener::user:
        return std::nullopt;
    case Listener::other:
        return mcpErrorReply(message.id, mcpInternalError,
                             QStringLiteral("Another account's program listens on 127.0.0.1:%1, where your Corvane "
                                            "companion should be; nothing was sent to it. Quit that program, or start "
                                            "the companion.")
                                 .arg(companionPort));
    case Listener::none:
        break;
    }
    if (startCompanion())
        return std::nullopt;
    // The client still gets a working server: its tools say what to do.
    const QString text = QStringLiteral("The Corvane companion is not running and %1. Start it (from the desktop, or "
                                        "with `corvane-companion --headless`), then call the tool again.")
                             .arg(startFailure_);
    return answerMcpRequest(message, [&text](const QString &, const Body &, const CallControl &) {
        DriverResult result;
        result.text = text;
        return result;
    });
}

void Bridge::forward(const QByteArray &line, const McpMessage &message)
{
    const bool request = message.kind == McpMessage::Kind::request;
    std::optional<QJsonObject> here = reachCompanion(message);
    platform::HttpResponse response;
    if (!here) {
        const ProgressTicker ticker(message);
        response = post(line, callWait);
        // Gone between the look and the post (a restart, an update):
        // nothing ran, so the message goes again.
        if (response.refused && !(here = reachCompanion(message)))
            response = post(line, callWait);
    }
    if (!request)
        return;
    if (here)
        return writeMessage(*here);
    const std::optional<QJsonObject> answer = mcpAnswerIn(response.body);
    if (!answer) {
        // A refusal of the server, or no answer at all: still an answer to
        // this request, in the protocol's own terms.
        QString why = response.error;
        if (response.isHttp) {
            const QString text
                = QJsonDocument::fromJson(response.body).object().value(QStringLiteral("text")).toString();
            why = QStringLiteral("HTTP %1").arg(response.status)
                + (text.isEmpty() ? QString() : QStringLiteral(": ") + text);
        }
        return writeMessage(
            mcpErrorReply(message.id, mcpInternalError, QStringLiteral("The companion gave no answer: %1").arg(why)));
    }
    if (isMcpInitialize(message)) {
        const QString version
            = answer->value(QStringLiteral("result")).toObject().value(QStringLiteral("protocolVersion")).toString();
        std::lock_guard lock(mutex_);
        protocolVersion_ = version.toLatin1();
    }
    writeMessage(*answer);
}

void Bridge::take(const QByteArray &line)
{
    const McpMessage message = parseMcpMessage(line);
    if (message.kind == McpMessage::Kind::invalid) {
        writeMessage(message.error);
        return;
    }
    if (message.kind == McpMessage::Kind::response)
        return; // the companion asks the client nothing
    // A liveness check of the bridge itself: answered at once, also while a
    // long call runs.
    if (message.kind == McpMessage::Kind::request && message.method == QLatin1String("ping")) {
        writeMessage(answerMcpRequest(message, {}));
        return;
    }
    {
        // Requests go side by side, but no more than forwardLimit at once:
        // the next one waits for a place. A notification (a cancellation)
        // has places of its own, so it never waits behind long calls.
        std::unique_lock lock(mutex_);
        if (message.kind == McpMessage::Kind::request) {
            ended_.wait(lock, [this] { return requests_.size() < forwardLimit; });
            requests_.append(message.id);
        } else {
            ended_.wait(lock, [this] { return running_ - requests_.size() < forwardLimit; });
        }
        ++running_;
    }
    const auto done = [this, id = message.id, request = message.kind == McpMessage::Kind::request] {
        std::lock_guard lock(mutex_);
        --running_;
        if (request)
            requests_.removeOne(id);
        ended_.notify_all();
    };
    if (!platform::runInBackground([this, line, message, done] {
            forward(line, message);
            done();
        })) {
        done();
        if (message.kind == McpMessage::Kind::request)
            writeMessage(mcpErrorReply(message.id, mcpInternalError,
                                       QStringLiteral("The bridge could not start a thread for this message.")));
    }
}

void Bridge::leave()
{
    // Calls still running are called off (a hand-over would wait for
    // minutes), and every thread has ended before the bridge goes.
    QList<QJsonValue> running;
    {
        std::lock_guard lock(mutex_);
        running = requests_;
    }
    // Only the user's own companion is told anything.
    if (running.isEmpty() || companionListener() != Listener::user)
        running.clear();
    for (const QJsonValue &id : std::as_const(running)) {
        const QJsonObject cancel {{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                  {QStringLiteral("method"), QStringLiteral("notifications/cancelled")},
                                  {QStringLiteral("params"),
                                   QJsonObject {{QStringLiteral("requestId"), id},
                                                {QStringLiteral("reason"), QStringLiteral("The client left.")}}}};
        post(QJsonDocument(cancel).toJson(QJsonDocument::Compact), probeWait);
    }
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [this] { return running_ == 0; });
}

} // namespace

int runMcpBridge()
{
    Bridge bridge;
    bool tooLong = false;
    while (const std::optional<QByteArray> line = readLine(tooLong)) {
        if (tooLong) {
            writeMessage(mcpErrorReply({}, mcpParseError, QStringLiteral("Parse error: the message is too large.")));
            continue;
        }
        if (!line->trimmed().isEmpty())
            bridge.take(*line);
    }
    bridge.leave();
    return 0;
}

} // namespace corvane
