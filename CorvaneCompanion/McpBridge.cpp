#include "McpBridge.h"

#include "driver/DriverResult.h"
#include "server/McpProtocol.h"

#include "Dispatch.h"
#include "UrlSession.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QProcess>
#include <QUrl>

#include <cstdio>
#include <cstring>
#include <optional>

namespace corvane {

namespace {

constexpr double startWait = 10.0;
constexpr double startRetryGap = 60.0;
// A tool call may start Chrome and wait for a slow page.
constexpr double callWait = 300.0;
constexpr double probeWait = 5.0;
// A larger message could not pass the local server anyway.
constexpr qsizetype lineLimit = 2 * 1024 * 1024;

const QByteArray sessionHeader = QByteArrayLiteral("Mcp-Session-Id");

QByteArray headerOf(const platform::HttpResponse &response, const QByteArray &name)
{
    for (const auto &[key, value] : response.headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

void writeMessage(const QJsonObject &message)
{
    const QByteArray line = QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
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

class Bridge {
public:
    void forward(const QByteArray &line);
    void close();

private:
    platform::HttpResponse request(const QByteArray &method, const QByteArray &message, double wait);
    platform::HttpResponse post(const QByteArray &message, double wait);
    platform::HttpResponse send(const QByteArray &line, bool initialize);
    bool companionAnswers();
    bool startCompanion();
    bool openSession();
    void answerHere(const McpMessage &message, const QString &why);

    QUrl endpoint_ = QUrl(QStringLiteral("http://127.0.0.1:%1/mcp").arg(companionPort));
    QByteArray initialize_; // the client's, replayed for a companion that restarted
    QByteArray session_;
    QByteArray protocolVersion_;
    double startFailedAt_ = -startRetryGap;
    QString startFailure_;
};

platform::HttpResponse Bridge::request(const QByteArray &method, const QByteArray &message, double wait)
{
    platform::HttpRequest request;
    request.url = endpoint_;
    request.method = method;
    request.body = message;
    request.timeoutSeconds = wait;
    request.headers = {{"Content-Type", "application/json"}, {"Accept", "application/json, text/event-stream"}};
    if (!session_.isEmpty())
        request.headers.append({sessionHeader, session_});
    if (!protocolVersion_.isEmpty())
        request.headers.append({"MCP-Protocol-Version", protocolVersion_});
    auto answer = platform::OneShot<platform::HttpResponse>::make();
    platform::UrlSession::shared().dataTask(request, [answer](const platform::HttpResponse &response) { answer->fulfil(response); });
    platform::HttpResponse none;
    none.error = QStringLiteral("No answer.");
    return answer->waitFor(wait + 5.0).value_or(none);
}

platform::HttpResponse Bridge::post(const QByteArray &message, double wait)
{
    return request("POST", message, wait);
}

// Any HTTP answer at all is a companion; a ping outside a session gets 400.
bool Bridge::companionAnswers()
{
    const QByteArray saved = session_;
    session_.clear();
    const bool answers = post(R"({"jsonrpc":"2.0","id":0,"method":"ping"})", probeWait).isHttp;
    session_ = saved;
    return answers;
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
        startFailure_ = companion.program().isEmpty() ? QStringLiteral("its program file is gone")
                                                      : QStringLiteral("%1 could not start").arg(companion.program());
        startFailedAt_ = platform::monotonicSeconds();
        return false;
    }
    const double until = platform::monotonicSeconds() + startWait;
    while (platform::monotonicSeconds() < until) {
        if (companionAnswers())
            return true;
        platform::sleepFor(0.2);
    }
    startFailure_ = QStringLiteral("it did not answer on 127.0.0.1:%1 within %2 seconds").arg(companionPort).arg(startWait);
    startFailedAt_ = platform::monotonicSeconds();
    return false;
}

bool Bridge::openSession()
{
    session_.clear();
    const platform::HttpResponse response = post(initialize_, probeWait);
    session_ = headerOf(response, sessionHeader);
    if (response.status != 200 || session_.isEmpty())
        return false;
    post(R"({"jsonrpc":"2.0","method":"notifications/initialized"})", probeWait);
    return true;
}

void Bridge::answerHere(const McpMessage &message, const QString &why)
{
    if (message.kind != McpMessage::Kind::request)
        return;
    const QString text = QStringLiteral("The Corvane companion is not running and %1. Start it (from the desktop, or "
                                        "with `corvane-companion --headless`), then call the tool again.")
                             .arg(why);
    writeMessage(answerMcpRequest(message, [&text](const QString &, const Body &) {
        DriverResult result;
        result.text = text;
        return result;
    }));
}

platform::HttpResponse Bridge::send(const QByteArray &line, bool initialize)
{
    if (!initialize && session_.isEmpty() && !initialize_.isEmpty())
        openSession();
    return post(line, callWait);
}

void Bridge::forward(const QByteArray &line)
{
    const McpMessage message = parseMcpMessage(line);
    if (message.kind == McpMessage::Kind::invalid) {
        writeMessage(message.error);
        return;
    }
    const bool initialize = isMcpInitialize(message);
    if (initialize) {
        initialize_ = line;
        session_.clear();
        protocolVersion_.clear();
    }

    platform::HttpResponse response = send(line, initialize);
    if (response.refused) {
        // Refused means nothing ran: start a companion and send it again.
        if (!startCompanion()) {
            answerHere(message, QStringLiteral("could not be started: ") + startFailure_);
            return;
        }
        response = send(line, initialize);
    }
    // A companion that restarted knows no session of ours: open a new one.
    if (response.status == 404 && !initialize && !initialize_.isEmpty() && openSession())
        response = post(line, callWait);
    if (initialize) {
        session_ = headerOf(response, sessionHeader);
        const QJsonObject result = QJsonDocument::fromJson(response.body).object().value(QStringLiteral("result")).toObject();
        protocolVersion_ = result.value(QStringLiteral("protocolVersion")).toString().toLatin1();
    }
    if (message.kind != McpMessage::Kind::request)
        return;
    const QJsonDocument reply = QJsonDocument::fromJson(response.body);
    if (response.isHttp && reply.isObject()) {
        writeMessage(reply.object());
        return;
    }
    const QString why = response.error.isEmpty() ? QStringLiteral("HTTP %1").arg(response.status) : response.error;
    writeMessage(mcpErrorReply(message.id, mcpInternalError, QStringLiteral("The companion gave no answer: %1").arg(why)));
}

void Bridge::close()
{
    if (!session_.isEmpty())
        request("DELETE", {}, probeWait);
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
            bridge.forward(*line);
    }
    bridge.close();
    return 0;
}

} // namespace corvane
