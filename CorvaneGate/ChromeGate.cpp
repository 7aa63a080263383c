#include "gate/ChromeGate.h"

#include "diagnostics/SparseLog.h"
#include "gate/CdpRouter.h"
#include "gate/PipeChannel.h"
#include "wire/HttpMessage.h"
#include "wire/PeerAdmission.h"

#include "Processes.h"
#include "SocketOptions.h"
#include "TerminationSignals.h"

#include <QCoreApplication>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUuid>
#include <QWebSocket>
#include <QWebSocketServer>

#include <functional>

namespace corvane {

namespace {

const QString portSwitch = QStringLiteral("--remote-debugging-port=");

void logReject(const QString &reason, const QString &path = QString())
{
    logSparingly(QStringLiteral("gate.reject"), reason,
                 {{QStringLiteral("reason"), reason}, {QStringLiteral("path"), path}});
}

// Accepts on the listening socket and hands each connection over as a bare
// descriptor, before Qt reads from it.
class GateListener : public QTcpServer {
public:
    std::function<void(qintptr)> accepted;

protected:
    void incomingConnection(qintptr descriptor) override { accepted(descriptor); }
};

HttpAnswer jsonAnswer(const QByteArray &status, const QJsonDocument &body)
{
    return {status,
            {{QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/json; charset=UTF-8")}},
            body.toJson(QJsonDocument::Indented)};
}

HttpAnswer textAnswer(const QByteArray &status, const QString &text)
{
    return {status,
            {{QByteArrayLiteral("Content-Type"), QByteArrayLiteral("text/plain; charset=UTF-8")}},
            text.toUtf8()};
}

// The target kinds Chrome's own list shows.
bool listed(const QString &type)
{
    return type != QLatin1String("browser") && type != QLatin1String("browser_ui") && type != QLatin1String("tab");
}

} // namespace

struct ChromeGate::Private {
    quint16 port = 0;
    GateListener listener;
    QWebSocketServer sockets {QStringLiteral("corvane-chrome-gate"), QWebSocketServer::NonSecureMode};
    QString browserId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    PipeChannel *pipe = nullptr;
    std::function<void()> ended;
    CdpRouter router;
    QHash<CdpRouter::Client, QPointer<QWebSocket>> clients;
    // Bytes handed to each client's socket and not written out yet.
    QHash<CdpRouter::Client, qint64> unwritten;
    CdpRouter::Client nextClient = 1;
    int waiting = 0; // accepted connections whose head has not been handled

    void accept(qintptr descriptor);
    void readHead(QTcpSocket *socket);
    void answerHttp(QTcpSocket *socket, const LoopbackRequest &request, const QString &host);
    void upgrade(QTcpSocket *socket);
    void welcome(QWebSocket *socket);
    void fromClient(CdpRouter::Client client, const QByteArray &bytes);
    void apply(const CdpRouter::Effects &effects);
    void finish(QTcpSocket *socket, const HttpAnswer &answer);
    void settled(QTcpSocket *socket);
};

void ChromeGate::Private::accept(qintptr descriptor)
{
    // Closed before anything is read.
    if (const PeerAdmission admission = admissionOf(descriptor); admission != PeerAdmission::own) {
        platform::closeAccepted(descriptor);
        logReject(refusalReason(admission));
        return;
    }
    if (waiting >= waitingLimit) {
        platform::closeAccepted(descriptor);
        logReject(QStringLiteral("busy"));
        return;
    }
    auto *socket = new QTcpSocket(&listener);
    if (!socket->setSocketDescriptor(descriptor)) {
        platform::closeAccepted(descriptor);
        delete socket;
        return;
    }
    // Many small messages go each way in a step: none may wait for the
    // acknowledgement of the one before.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // No more than a head is taken in until the head has been judged.
    socket->setReadBufferSize(requestHeadLimit + 1);
    ++waiting;
    socket->setProperty("waiting", true);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { readHead(socket); });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
        settled(socket);
        socket->deleteLater();
    });
    QTimer::singleShot(static_cast<int>(headWait * 1000), socket, [this, socket] {
        if (socket->property("waiting").toBool()) {
            logReject(QStringLiteral("slow"));
            settled(socket);
            socket->abort();
            socket->deleteLater();
        }
    });
}

void ChromeGate::Private::settled(QTcpSocket *socket)
{
    if (socket->property("waiting").toBool()) {
        socket->setProperty("waiting", false);
        --waiting;
    }
}

void ChromeGate::Private::finish(QTcpSocket *socket, const HttpAnswer &answer)
{
    socket->write(answer.bytes());
    socket->disconnectFromHost();
}

void ChromeGate::Private::readHead(QTcpSocket *socket)
{
    if (!socket->property("waiting").toBool())
        return;
    // Peeked, not read: a WebSocket's handshake is read again by its server.
    const QByteArray seen = socket->peek(requestHeadLimit + 1);
    RequestFraming framing;
    framing.append(seen);
    if (framing.state() == RequestFraming::State::head)
        return;
    const qsizetype end = seen.indexOf("\r\n\r\n");
    const LoopbackRequest request = parseRequest(end < 0 ? seen : seen.left(end + 4));
    settled(socket);
    if (const std::optional<Refusal> refusal = refusalOf(framing, true, request)) {
        logReject(refusal->reason, request.path);
        finish(socket, textAnswer(refusal->status, refusal->text));
        return;
    }
    const bool wantsSocket = requestHeader(request, QLatin1String("upgrade"))
                                 .value_or(QString())
                                 .compare(QLatin1String("websocket"), Qt::CaseInsensitive)
        == 0;
    if (wantsSocket) {
        upgrade(socket);
        return;
    }
    socket->read(end + 4); // the head; a GET's body, if any, is ignored
    answerHttp(socket, request, requestHeader(request, QLatin1String("host")).value_or(QString()));
}

void ChromeGate::Private::answerHttp(QTcpSocket *socket, const LoopbackRequest &request, const QString &hostHeader)
{
    // The address clients are told to connect to: the one they used, with
    // the port when their Host left it out.
    QString host = hostHeader.isEmpty() ? QStringLiteral("127.0.0.1") : hostHeader;
    if (!host.contains(QLatin1Char(':')) || host.endsWith(QLatin1Char(']')))
        host += QLatin1Char(':') + QString::number(port);
    const QString path = request.path.endsWith(QLatin1Char('/')) ? request.path.chopped(1) : request.path;
    if (request.method != QLatin1String("GET")) {
        finish(socket, textAnswer(QByteArrayLiteral("405 Method Not Allowed"), QStringLiteral("Only GET is served.")));
        return;
    }
    QPointer<QTcpSocket> guarded(socket);
    const auto reply = [guarded](const HttpAnswer &answer) {
        if (guarded) {
            guarded->write(answer.bytes());
            guarded->disconnectFromHost();
        }
    };
    QTimer::singleShot(static_cast<int>(chromeAnswerWait * 1000), socket, [socket] { socket->abort(); });
    if (path == QLatin1String("/json/version")) {
        const auto answer = [host, id = browserId](const QJsonObject &version) {
            const QString revision = version.value(QStringLiteral("revision")).toString();
            return jsonAnswer(
                QByteArrayLiteral("200 OK"),
                QJsonDocument(QJsonObject {
                    {QStringLiteral("Browser"), version.value(QStringLiteral("product"))},
                    {QStringLiteral("Protocol-Version"), version.value(QStringLiteral("protocolVersion"))},
                    {QStringLiteral("User-Agent"), version.value(QStringLiteral("userAgent"))},
                    {QStringLiteral("V8-Version"), version.value(QStringLiteral("jsVersion"))},
                    {QStringLiteral("WebKit-Version"), QStringLiteral("537.36 (") + revision + QLatin1Char(')')},
                    {QStringLiteral("webSocketDebuggerUrl"),
                     QStringLiteral("ws://") + host + QStringLiteral("/devtools/browser/") + id},
                }));
        };
        if (!router.version().isEmpty()) {
            reply(answer(router.version()));
            return;
        }
        apply(router.call(QStringLiteral("Browser.getVersion"), {}, [reply, answer](const QJsonObject &message) {
            const QJsonObject result = message.value(QStringLiteral("result")).toObject();
            if (result.isEmpty())
                reply(textAnswer(QByteArrayLiteral("500 Internal Server Error"),
                                 QStringLiteral("Chrome did not answer.")));
            else
                reply(answer(result));
        }));
        return;
    }
    if (path == QLatin1String("/json") || path == QLatin1String("/json/list")) {
        apply(router.call(QStringLiteral("Target.getTargets"), {}, [reply, host](const QJsonObject &message) {
            QJsonArray list;
            const QJsonArray infos
                = message.value(QStringLiteral("result")).toObject().value(QStringLiteral("targetInfos")).toArray();
            for (const QJsonValue &value : infos) {
                const QJsonObject info = value.toObject();
                const QString type = info.value(QStringLiteral("type")).toString();
                if (!listed(type))
                    continue;
                const QString id = info.value(QStringLiteral("targetId")).toString();
                list.append(QJsonObject {
                    {QStringLiteral("description"), QString()},
                    {QStringLiteral("id"), id},
                    {QStringLiteral("title"), info.value(QStringLiteral("title"))},
                    {QStringLiteral("type"), type},
                    {QStringLiteral("url"), info.value(QStringLiteral("url"))},
                    {QStringLiteral("webSocketDebuggerUrl"),
                     QStringLiteral("ws://") + host + QStringLiteral("/devtools/page/") + id},
                });
            }
            reply(jsonAnswer(QByteArrayLiteral("200 OK"), QJsonDocument(list)));
        }));
        return;
    }
    finish(socket, textAnswer(QByteArrayLiteral("404 Not Found"), QStringLiteral("Not served here: ") + request.path));
}

void ChromeGate::Private::upgrade(QTcpSocket *socket)
{
    if (clients.size() >= clientLimit) {
        logReject(QStringLiteral("clients"));
        finish(socket,
               textAnswer(QByteArrayLiteral("503 Service Unavailable"),
                          QStringLiteral("Too many clients of this Chrome at once.")));
        return;
    }
    QObject::disconnect(socket, nullptr, socket, nullptr);
    socket->setReadBufferSize(0);
    socket->setParent(nullptr);
    sockets.handleConnection(socket);
    // Its head came before the server listened for it.
    QMetaObject::invokeMethod(socket, &QTcpSocket::readyRead, Qt::QueuedConnection);
}

void ChromeGate::Private::welcome(QWebSocket *socket)
{
    const QString path = socket->requestUrl().path();
    const QString browserPath = QStringLiteral("/devtools/browser/") + browserId;
    const QString pagePrefix = QStringLiteral("/devtools/page/");
    std::optional<QString> page;
    if (path.startsWith(pagePrefix) && path.size() > pagePrefix.size())
        page = path.mid(pagePrefix.size());
    else if (path != browserPath) {
        logReject(QStringLiteral("path"), path);
        socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("No such target."));
        socket->deleteLater();
        return;
    }
    if (clients.size() >= clientLimit) {
        logReject(QStringLiteral("clients"), path);
        socket->close(QWebSocketProtocol::CloseCodeTooMuchData,
                      QStringLiteral("Too many clients of this Chrome at once."));
        socket->deleteLater();
        return;
    }
    const CdpRouter::Client client = nextClient++;
    clients.insert(client, socket);
    socket->setMaxAllowedIncomingMessageSize(clientMessageLimit);
    QObject::connect(socket, &QWebSocket::textMessageReceived, socket,
                     [this, client](const QString &text) { fromClient(client, text.toUtf8()); });
    QObject::connect(socket, &QWebSocket::binaryMessageReceived, socket,
                     [this, client](const QByteArray &bytes) { fromClient(client, bytes); });
    QObject::connect(socket, &QWebSocket::bytesWritten, socket, [this, client](qint64 written) {
        qint64 &left = unwritten[client];
        left = std::max<qint64>(0, left - written);
    });
    QObject::connect(socket, &QWebSocket::disconnected, socket, [this, client, socket] {
        unwritten.remove(client);
        if (clients.remove(client))
            apply(router.closed(client));
        socket->deleteLater();
    });
    apply(router.open(client, page));
}

void ChromeGate::Private::fromClient(CdpRouter::Client client, const QByteArray &bytes)
{
    // A client that outruns Chrome by this much is cut off rather than
    // let the gate's memory grow without end.
    if (pipe && pipe->backlog() > PipeChannel::messageLimit) {
        CdpRouter::Effects effects = router.closed(client);
        effects.close.append(client);
        apply(effects);
        return;
    }
    apply(router.fromClient(client, bytes));
}

void ChromeGate::Private::apply(const CdpRouter::Effects &effects)
{
    for (const QByteArray &message : effects.toChrome) {
        if (pipe)
            pipe->send(message);
    }
    QList<CdpRouter::Client> behind;
    for (const auto &[client, message] : effects.toClients) {
        const QPointer<QWebSocket> socket = clients.value(client);
        if (!socket || behind.contains(client))
            continue;
        // A client that does not read is let go before it costs the gate
        // its memory; a message always goes while little waits, however
        // large it is.
        qint64 &left = unwritten[client];
        if (left > clientBacklogLimit) {
            behind.append(client);
            continue;
        }
        left += message.size();
        socket->sendTextMessage(QString::fromUtf8(message));
    }
    for (const CdpRouter::Client client : std::as_const(behind)) {
        logSparingly(QStringLiteral("gate.drop"), QStringLiteral("behind"),
                     {{QStringLiteral("reason"), QStringLiteral("behind")}});
        const CdpRouter::Effects gone = router.closed(client);
        for (const QByteArray &message : gone.toChrome) {
            if (pipe)
                pipe->send(message);
        }
        unwritten.remove(client);
        if (const QPointer<QWebSocket> socket = clients.take(client))
            socket->abort();
    }
    for (const CdpRouter::Client client : effects.close) {
        if (const QPointer<QWebSocket> socket = clients.take(client))
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated);
    }
}

ChromeGate::ChromeGate(quint16 port)
    : d(std::make_unique<Private>())
{
    d->port = port;
    d->listener.setMaxPendingConnections(waitingLimit);
    d->listener.accepted = [this](qintptr descriptor) { d->accept(descriptor); };
    d->sockets.setHandshakeTimeout(static_cast<int>(headWait * 1000));
    QObject::connect(&d->sockets, &QWebSocketServer::newConnection, &d->sockets, [this] {
        while (QWebSocket *socket = d->sockets.nextPendingConnection())
            d->welcome(socket);
    });
}

ChromeGate::~ChromeGate()
{
    for (const QPointer<QWebSocket> &socket : std::as_const(d->clients)) {
        if (socket)
            socket->abort();
    }
}

QString ChromeGate::listen()
{
    if (!d->listener.listen(QHostAddress::LocalHost, d->port))
        return d->listener.errorString();
    return {};
}

void ChromeGate::attach(PipeChannel *pipe, std::function<void()> ended)
{
    d->pipe = pipe;
    d->ended = std::move(ended);
    QObject::connect(pipe, &PipeChannel::message, pipe,
                     [this](const QByteArray &bytes) { d->apply(d->router.fromChrome(bytes)); });
    QObject::connect(pipe, &PipeChannel::oversized, pipe, [this](const QByteArray &head) {
        logSparingly(QStringLiteral("gate.drop"), QStringLiteral("size"),
                     {{QStringLiteral("reason"), QStringLiteral("size")}});
        d->apply(d->router.oversizedFromChrome(head));
    });
    QObject::connect(pipe, &PipeChannel::ended, pipe, [this] {
        if (d->ended)
            d->ended();
    });
    // Chrome may be gone already (it handed its window to a running one):
    // the first write then ends the pipe.
    d->apply(d->router.prepare());
}

int runChromeGate(int argc, char **argv)
{
    if (argc < 3)
        return static_cast<int>(GateStart::badArguments);
    const QString executable = QString::fromLocal8Bit(argv[2]);
    QStringList arguments;
    std::optional<quint16> port;
    for (int i = 3; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (argument.startsWith(portSwitch) && !port) {
            bool ok = false;
            const uint value = argument.mid(portSwitch.size()).toUInt(&ok);
            if (!ok || value == 0 || value > 65535)
                return static_cast<int>(GateStart::badArguments);
            port = static_cast<quint16>(value);
            arguments << QStringLiteral("--remote-debugging-pipe");
        } else {
            arguments << argument;
        }
    }
    if (!port)
        return static_cast<int>(GateStart::badArguments);

    platform::BackgroundStart start;
    if (!start.begin())
        return static_cast<int>(GateStart::chromeDidNotStart);
    // A write to a pipe whose reader is gone must fail, not end the gate.
    platform::ignoreBrokenPipes();
    QCoreApplication app(argc, argv);
    ChromeGate gate(*port);
    if (const QString error = gate.listen(); !error.isEmpty()) {
        start.report(static_cast<int>(GateStart::portTaken));
        return static_cast<int>(GateStart::portTaken);
    }
    // Chrome's ends are Chrome's alone: the pipe ends when Chrome does.
    const std::optional<platform::PipedChild> chrome = platform::spawnWithPipes(executable, arguments);
    if (!chrome) {
        start.report(static_cast<int>(GateStart::chromeDidNotStart));
        return static_cast<int>(GateStart::chromeDidNotStart);
    }
    auto *pipe = new PipeChannel(chrome->readFrom, chrome->writeTo, &app);
    // Queued: the pipe may end before the event loop has started.
    gate.attach(pipe, [&app] { QTimer::singleShot(0, &app, &QCoreApplication::quit); });
    start.report(static_cast<int>(GateStart::started));
    return app.exec();
}

} // namespace corvane
