#include "server/LoopbackServer.h"

#include "diagnostics/EventLog.h"
#include "diagnostics/SparseLog.h"
#include "driver/Driver.h"
#include "server/McpHttp.h"
#include "wire/PeerAdmission.h"

#include "Dispatch.h"
#include "LoopbackListener.h"

#include <QJsonDocument>

#include <atomic>
#include <utility>

namespace corvane {

namespace {

constexpr double headWait = 10.0; // from the accept to the end of the head
constexpr double quietWait = 2.0; // a client this quiet has sent what it will
constexpr double bodyIdleWait = 10.0;
constexpr double replyWriteWait = 30.0;
constexpr double acceptFailLogEvery = 60.0;
constexpr qint64 readChunk = 64 * 1024;

void logReject(const QString &reason, const QString &path)
{
    logSparingly(QStringLiteral("loopback.reject"), reason,
                 {{QStringLiteral("reason"), reason}, {QStringLiteral("path"), path}});
}

// Only the user's own programs are served. Another account's connection (or
// one whose owner the system cannot name: its owner closed it already) is
// closed as it is accepted, before a byte is read and without taking a place
// among the connections served.
bool admitPeer(qintptr socketDescriptor)
{
    const PeerAdmission admission = admissionOf(socketDescriptor);
    if (admission == PeerAdmission::own)
        return true;
    logReject(refusalReason(admission), QString());
    return false;
}

// Every refusal of the HTTP edge, in the order they are decided: a request
// too large, from another user or from a web page; bytes that are not what
// a request must be (said to be so, never served as something else: "GET
// /", an empty body; the MCP endpoint answers its own messages' faults);
// then an action asked for with GET or HEAD, as a web page's image tag
// would (it carries no Origin): only the health answer is had that way.
std::optional<Refusal> edgeRefusalOf(const RequestFraming &framing, bool fromUser, const LoopbackRequest &parsed)
{
    if (std::optional<Refusal> refused = refusalOf(framing, fromUser, parsed))
        return refused;
    if (parsed.fault == LoopbackRequest::Fault::notUtf8 && parsed.path != mcpPath)
        return Refusal {QByteArrayLiteral("400 Bad Request"), requestNotUtf8Text, QStringLiteral("encoding")};
    if (parsed.fault == LoopbackRequest::Fault::bodyNotObject && isActionPath(parsed.path))
        return Refusal {QByteArrayLiteral("400 Bad Request"), bodyNotObjectText, QStringLiteral("body")};
    const bool plainRead = parsed.method == QLatin1String("GET") || parsed.method == QLatin1String("HEAD");
    if (plainRead && parsed.path != QLatin1String("/health") && parsed.path != QLatin1String("/")
        && parsed.path != mcpPath)
        return Refusal {QByteArrayLiteral("405 Method Not Allowed"), postNeededText, QStringLiteral("method")};
    return std::nullopt;
}

enum class Arrival { ready, slow, gone };

// Reads until the request is whole, too large, or the client stops sending.
Arrival readRequest(platform::LoopbackConnection &connection, RequestFraming &framing)
{
    const double acceptedAt = platform::monotonicSeconds();
    double lastByteAt = acceptedAt;
    for (;;) {
        const RequestFraming::State state = framing.state();
        if (state != RequestFraming::State::head && state != RequestFraming::State::body)
            return Arrival::ready;
        const bool inHead = state == RequestFraming::State::head;
        double until = inHead ? acceptedAt + headWait : lastByteAt + bodyIdleWait;
        if (inHead && !framing.bytes().isEmpty())
            until = std::min(until, lastByteAt + quietWait);
        const qint64 most = inHead ? readChunk : std::min(framing.missing(), readChunk);

        const platform::LoopbackConnection::Read got = connection.read(until - platform::monotonicSeconds(), most);
        switch (got.end) {
        case platform::LoopbackConnection::ReadEnd::data:
            framing.append(got.bytes);
            lastByteAt = platform::monotonicSeconds();
            if (inHead && framing.state() == RequestFraming::State::body && framing.expectsContinue())
                connection.write(QByteArrayLiteral("HTTP/1.1 100 Continue\r\n\r\n"), bodyIdleWait);
            break;
        case platform::LoopbackConnection::ReadEnd::closed:
            // The peer finished sending: what came is the request.
            if (connection.evicted())
                return Arrival::slow;
            return framing.bytes().isEmpty() ? Arrival::gone : Arrival::ready;
        case platform::LoopbackConnection::ReadEnd::quiet:
            // A short head and then silence is a whole request from a simple
            // client; silence past the deadline is not.
            if (inHead && !framing.bytes().isEmpty() && platform::monotonicSeconds() < acceptedAt + headWait)
                return Arrival::ready;
            return Arrival::slow;
        }
    }
}

void serveConnection(LoopbackServer &server, platform::LoopbackConnection &connection)
{
    RequestFraming framing;
    const Arrival arrival = readRequest(connection, framing);
    if (arrival == Arrival::gone)
        return;
    if (arrival == Arrival::slow || !connection.claim()) {
        logReject(QStringLiteral("slow"), parseRequest(framing.bytes()).path);
        return;
    }
    server.respond(framing.bytes(), true,
                   [&connection](const QByteArray &bytes) { return connection.write(bytes, replyWriteWait); });
}

// Descriptors running out must not fill the log: one line a minute.
void logAcceptError(const QString &error)
{
    static std::atomic<double> lastLogged {-acceptFailLogEvery};
    const double now = platform::monotonicSeconds();
    double last = lastLogged.load();
    if (now - last < acceptFailLogEvery || !lastLogged.compare_exchange_strong(last, now))
        return;
    companionLog(QStringLiteral("loopback.fail"), {{QStringLiteral("error"), error}});
}

} // namespace

LoopbackServer::LoopbackServer(Driver &driver)
    : driver_(driver)
    , mcp_(companionMcpEndpoint(driver))
{
}

LoopbackServer::~LoopbackServer()
{
    stop();
}

LoopbackStart LoopbackServer::start(quint16 port)
{
    auto listener = std::make_unique<platform::LoopbackListener>(
        [this](platform::LoopbackConnection &connection) { serveConnection(*this, connection); }, logAcceptError,
        admitPeer);
    const QString error = listener->listen(port);
    if (!error.isEmpty())
        return {false, error};
    listener_ = std::move(listener);
    return {true, {}};
}

void LoopbackServer::close()
{
    if (listener_)
        listener_->close();
}

void LoopbackServer::stop()
{
    if (listener_)
        listener_->finish();
    listener_.reset();
}

quint16 LoopbackServer::port() const
{
    return listener_ ? listener_->port() : 0;
}

int LoopbackServer::acceptFailures() const
{
    return listener_ ? listener_->acceptFailures() : 0;
}

QByteArray LoopbackServer::replyBytes(const QByteArray &status, const DriverResult &result)
{
    QJsonObject object = result.object();
    const QJsonObject details = result.details();
    for (auto detail = details.begin(); detail != details.end(); ++detail)
        object.insert(detail.key(), detail.value());
    const QByteArray body
        = result.writable() ? QJsonDocument(object).toJson(QJsonDocument::Compact) : replyFailureJson.toUtf8();
    return HttpAnswer {status, {{QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/json")}}, body}
        .bytes();
}

QByteArray LoopbackServer::refusalBytes(const Refusal &refusal)
{
    DriverResult result;
    result.text = refusal.text;
    HttpAnswer answer {refusal.status,
                       {{QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/json")}},
                       result.json().toUtf8()};
    // Only a method is refused with what would have been allowed.
    if (refusal.status.startsWith("405"))
        answer.headers.append({QByteArrayLiteral("Allow"), QByteArrayLiteral("POST")});
    return answer.bytes();
}

QByteArray LoopbackServer::handle(const QByteArray &request, bool fromUser)
{
    QByteArray reply;
    respond(request, fromUser, [&reply](const QByteArray &bytes) {
        reply += bytes;
        return true;
    });
    return reply;
}

void LoopbackServer::respond(const QByteArray &request, bool fromUser, const ReplyWriter &write)
{
    RequestFraming framing;
    framing.append(request);
    const LoopbackRequest parsed = parseRequest(request);
    if (const std::optional<Refusal> refused = edgeRefusalOf(framing, fromUser, parsed)) {
        logReject(refused->reason, parsed.path);
        write(refusalBytes(*refused));
        return;
    }

    companionLog(QStringLiteral("loopback.req"),
                 {{QStringLiteral("method"), parsed.method}, {QStringLiteral("path"), parsed.path}});
    if (parsed.path == mcpPath)
        return mcp_.serve(parsed, write);
    // A client may name its agent; without a name it is the plain work tab.
    const QString agent = requestHeader(parsed, QLatin1String("x-corvane-agent")).value_or(QString()).trimmed();
    const DriverResult result = driver_.drive(parsed.path, parsed.body, true, {}, agent);
    companionLog(QStringLiteral("loopback.res"),
                 {{QStringLiteral("path"), parsed.path},
                  {QStringLiteral("ok"), yesNo(result.ok)},
                  {QStringLiteral("chrome"), onOff(result.chrome)}});
    write(replyBytes(QByteArrayLiteral("200 OK"), result));
}

} // namespace corvane
