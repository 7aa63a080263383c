// The gate's routing between clients and the one pipe, with Chrome's side
// played by hand: what a real Chrome rarely shows on cue (two clients with the
// same ids at once, a session named inside an answer, a client that leaves
// mid-call).

#include "gate/CdpEnvelope.h"
#include "gate/CdpRouter.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace corvane;

namespace {

QJsonObject parsed(const QByteArray &bytes)
{
    return QJsonDocument::fromJson(bytes).object();
}

// Plays Chrome: answers each attach with a session named after its id.
struct Stage {
    CdpRouter router;
    QList<QJsonObject> sent; // what reached Chrome
    QList<std::pair<CdpRouter::Client, QJsonObject>> delivered;
    QList<CdpRouter::Client> closed;

    void take(const CdpRouter::Effects &effects)
    {
        for (const QByteArray &message : effects.toChrome) {
            const QJsonObject object = parsed(message);
            sent.append(object);
            const QString method = object.value("method").toString();
            if (method == "Target.attachToBrowserTarget" || method == "Target.attachToTarget") {
                const QString session = QStringLiteral("S%1").arg(object.value("id").toInteger());
                take(router.fromChrome(QStringLiteral("{\"id\":%1,\"result\":{\"sessionId\":\"%2\"}}")
                                           .arg(object.value("id").toInteger())
                                           .arg(session)
                                           .toUtf8()));
            }
        }
        for (const auto &[client, message] : effects.toClients)
            delivered.append({client, parsed(message)});
        closed.append(effects.close);
    }
    QString rootOf(CdpRouter::Client client)
    {
        take(router.fromClient(client, R"({"id":999,"method":"Probe.root"})"));
        return sent.last().value("sessionId").toString();
    }
};

} // namespace

TEST(GateRouting, EachClientGetsItsOwnRepliesEventsAndSessions)
{
    Stage stage;
    stage.take(stage.router.prepare()); // a spare browser session, and the version
    stage.take(stage.router.open(1));
    stage.take(stage.router.open(2));
    const QString rootA = stage.rootOf(1);
    const QString rootB = stage.rootOf(2);
    ASSERT_FALSE(rootA.isEmpty());
    ASSERT_NE(rootA, rootB);

    // The same id from both: distinct on the pipe, each answered as its own.
    stage.take(stage.router.fromClient(1, R"({"id":1,"method":"Runtime.evaluate"})"));
    const qint64 idA = stage.sent.last().value("id").toInteger();
    stage.take(stage.router.fromClient(2, R"({"id":1,"method":"Runtime.evaluate"})"));
    const qint64 idB = stage.sent.last().value("id").toInteger();
    ASSERT_NE(idA, idB);
    stage.delivered.clear();
    stage.take(
        stage.router.fromChrome(QStringLiteral(R"({"id":%1,"result":{"who":"B","sessionId":"inner"},"sessionId":"%2"})")
                                    .arg(idB)
                                    .arg(rootB)
                                    .toUtf8()));
    stage.take(stage.router.fromChrome(
        QStringLiteral(R"({"id":%1,"result":{"who":"A"},"sessionId":"%2"})").arg(idA).arg(rootA).toUtf8()));
    ASSERT_EQ(stage.delivered.size(), 2);
    EXPECT_EQ(stage.delivered[0].first, 2u);
    EXPECT_EQ(stage.delivered[0].second, parsed(R"({"id":1,"result":{"who":"B","sessionId":"inner"}})"))
        << "the id is the client's, its root session is left out, a session inside the answer stays";
    EXPECT_EQ(stage.delivered[1].first, 1u);
    EXPECT_EQ(stage.delivered[1].second, parsed(R"({"id":1,"result":{"who":"A"}})"));

    // A session attached on A's root is A's: its events go to A alone, and B
    // cannot use it.
    stage.delivered.clear();
    stage.take(stage.router.fromChrome(
        QStringLiteral(
            R"({"method":"Target.attachedToTarget","params":{"sessionId":"P1","targetInfo":{}},"sessionId":"%1"})")
            .arg(rootA)
            .toUtf8()));
    stage.take(stage.router.fromChrome(R"({"method":"Page.loadEventFired","params":{},"sessionId":"P1"})"));
    stage.take(stage.router.fromChrome(R"({"method":"Page.loadEventFired","params":{},"sessionId":"nobodys"})"));
    ASSERT_EQ(stage.delivered.size(), 2);
    EXPECT_EQ(stage.delivered[0].second.value("method"), "Target.attachedToTarget");
    EXPECT_FALSE(stage.delivered[0].second.contains("sessionId"));
    EXPECT_EQ(stage.delivered[1],
              (std::pair<CdpRouter::Client, QJsonObject> {
                  1, parsed(R"({"method":"Page.loadEventFired","params":{},"sessionId":"P1"})")}));
    const qsizetype sentBefore = stage.sent.size();
    stage.take(stage.router.fromClient(2, R"({"id":7,"method":"Page.reload","sessionId":"P1"})"));
    EXPECT_EQ(stage.sent.size(), sentBefore) << "another client's session never reaches Chrome";
    EXPECT_EQ(stage.delivered.last().second.value("error").toObject().value("code"), -32001);

    // A leaves in the middle of a call: its sessions are detached, and the
    // late reply goes nowhere.
    stage.take(stage.router.fromClient(1, R"({"id":2,"method":"Page.navigate","sessionId":"P1"})"));
    const qint64 late = stage.sent.last().value("id").toInteger();
    stage.delivered.clear();
    stage.take(stage.router.closed(1));
    QStringList detached;
    for (const QJsonObject &message : stage.sent.mid(sentBefore)) {
        if (message.value("method") == "Target.detachFromTarget")
            detached << message.value("params").toObject().value("sessionId").toString();
    }
    EXPECT_EQ(QSet<QString>(detached.begin(), detached.end()), (QSet<QString> {"P1", rootA}));
    stage.take(stage.router.fromChrome(QStringLiteral(R"({"id":%1,"result":{},"sessionId":"P1"})").arg(late).toUtf8()));
    EXPECT_TRUE(stage.delivered.isEmpty());

    // Broken clients are closed, and so is one whose root session Chrome ended.
    stage.take(stage.router.fromClient(2, "not json"));
    EXPECT_EQ(stage.closed, QList<CdpRouter::Client> {2});
    stage.take(stage.router.open(3));
    const QString rootC = stage.rootOf(3);
    stage.take(stage.router.fromChrome(
        QStringLiteral(R"({"method":"Target.detachedFromTarget","params":{"sessionId":"%1"}})").arg(rootC).toUtf8()));
    EXPECT_EQ(stage.closed, (QList<CdpRouter::Client> {2, 3}));
    EXPECT_EQ(stage.router.clients(), 0);
    EXPECT_EQ(stage.router.childSessions(), 0);
}

// Only a session that is the message's own, last, is read from its bytes.
TEST(GateRouting, EnvelopeReadsOnlyTheMessagesOwnSession)
{
    const struct {
        QByteArray message;
        std::optional<qint64> id;
        QByteArray method;
        QByteArray session;
    } cases[] = {
        {R"({"id":12,"result":{},"sessionId":"AB12"})", 12, "", "AB12"},
        {R"({"id":12,"result":{"sessionId":"IN"}})", 12, "", ""},
        {R"({"id":12,"result":{"a":1,"sessionId":"IN"}})", 12, "", ""},
        {R"({"method":"Page.frameNavigated","params":{"x":"\"sessionId\":\"Q\"}"},"sessionId":"S-1"})", std::nullopt,
         "Page.frameNavigated", "S-1"},
        {R"({"method":"Target.detachedFromTarget","params":{"sessionId":"P"}})", std::nullopt,
         "Target.detachedFromTarget", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message.toStdString());
        const std::optional<CdpEnvelope> envelope = cdpEnvelope(c.message);
        ASSERT_TRUE(envelope.has_value());
        EXPECT_EQ(envelope->id, c.id);
        EXPECT_EQ(envelope->method, c.method);
        EXPECT_EQ(envelope->session, c.session);
        // Rewriting keeps it the same JSON but for the id and its own session.
        QJsonObject expected = parsed(c.message);
        if (c.id)
            expected.insert("id", 7);
        expected.remove("sessionId");
        EXPECT_EQ(parsed(envelope->rewritten(c.message, 7, true)), expected);
    }
    EXPECT_FALSE(cdpEnvelope(R"({"result":{},"id":3})")) << "any other form is parsed whole";
    EXPECT_FALSE(cdpEnvelope(R"({"id":3})"));
}

// Nothing Chrome or a client sends ends the gate: an answer too large to
// pass on fails only its own call, an event that large is lost, and an id
// too large to be a whole number is never converted.
TEST(GateRouting, OversizedAnswersFailTheirCallAndOddIdsPassUntouched)
{
    Stage stage;
    stage.take(stage.router.prepare());
    stage.take(stage.router.open(1));
    const QString root = stage.rootOf(1);
    stage.take(stage.router.fromClient(1, R"({"id":7,"method":"Page.captureScreenshot"})"));
    const qint64 onRoot = stage.sent.last().value("id").toInteger();
    stage.take(stage.router.fromClient(1, R"({"id":8,"method":"Page.captureScreenshot","sessionId":"S-not-held"})"));
    stage.take(stage.router.fromChrome(
        R"({"method":"Target.attachedToTarget","params":{"sessionId":"C1"},"sessionId":")" + root.toUtf8() + "\"}"));
    stage.take(stage.router.fromClient(1, R"({"id":9,"method":"DOM.getDocument","sessionId":"C1"})"));
    const qint64 onChild = stage.sent.last().value("id").toInteger();
    stage.delivered.clear();

    const struct {
        QByteArray head;
        QJsonObject delivered; // empty: nothing
    } cases[] = {
        {"{\"id\":" + QByteArray::number(onRoot) + ",\"result\":{\"data\":\"iVBOR",
         {{"id", 7},
          {"error",
           QJsonObject {{"code", -32000}, {"message", "Chrome's answer was larger than the gate passes on."}}}}},
        {"{\"id\":" + QByteArray::number(onChild) + ",\"result\":{\"root\":{",
         {{"id", 9},
          {"sessionId", "C1"},
          {"error",
           QJsonObject {{"code", -32000}, {"message", "Chrome's answer was larger than the gate passes on."}}}}},
        {"{\"id\":" + QByteArray::number(onChild) + ",\"result\":{", {}}, // answered already
        {"{\"method\":\"Network.dataReceived\",\"params\":{\"data\":\"", {}},
        {"{\"id\":99999999999999999999999,", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.head.toStdString());
        stage.delivered.clear();
        stage.take(stage.router.oversizedFromChrome(c.head));
        if (c.delivered.isEmpty()) {
            EXPECT_TRUE(stage.delivered.isEmpty());
        } else {
            ASSERT_EQ(stage.delivered.size(), 1);
            EXPECT_EQ(stage.delivered.front().second, c.delivered);
        }
    }
    EXPECT_TRUE(stage.closed.isEmpty()) << "the client stays";

    // An id of 1e20 goes to Chrome renumbered and comes back as it was sent.
    stage.take(stage.router.fromClient(1, R"({"id":1e20,"method":"Runtime.evaluate"})"));
    const qint64 big = stage.sent.last().value("id").toInteger();
    stage.delivered.clear();
    stage.take(stage.router.fromChrome("{\"id\":" + QByteArray::number(big) + ",\"result\":{},\"sessionId\":\""
                                       + root.toUtf8() + "\"}"));
    ASSERT_EQ(stage.delivered.size(), 1);
    EXPECT_EQ(stage.delivered.front().second.value("id").toDouble(), 1e20);
}
