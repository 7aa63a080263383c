#include "driver/DriverResult.h"
#include "driver/Job.h"
#include "driver/NeedsYouNotice.h"

#include "Dispatch.h"
#include "Eventually.h"
#include "TempHome.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <gtest/gtest.h>

using namespace corvane;

namespace {

QJsonObject parsed(const QString &json)
{
    return QJsonDocument::fromJson(json.toUtf8()).object();
}

} // namespace

TEST(DriverResultJson, MembersPresentOnlyWhenFilled)
{
    struct Case {
        const char *name;
        DriverResult result;
        QStringList members;
    };
    const Case cases[] = {
        {"bare",
         {false, QStringLiteral("x"), false, false, {}, {}, {}, {}, {}, {}},
         {"chrome", "needs_you", "ok", "text"}},
        {"title only",
         {true, {}, false, true, QStringLiteral("T"), {}, {}, {}, {}, {}},
         {"chrome", "needs_you", "ok", "text", "title"}},
        {"url and image",
         {true, {}, true, true, {}, QStringLiteral("http://a/"), QStringLiteral("data:x"), {}, {}, {}},
         {"chrome", "image", "needs_you", "ok", "text", "url"}},
        {"all",
         {true,
          QStringLiteral("t"),
          false,
          true,
          QStringLiteral("T"),
          QStringLiteral("u"),
          QStringLiteral("i"),
          {},
          {},
          {}},
         {"chrome", "image", "needs_you", "ok", "text", "title", "url"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QJsonObject object = parsed(c.result.json());
        EXPECT_EQ(object.keys(), c.members);
        EXPECT_EQ(object.value(QStringLiteral("ok")).toBool(), c.result.ok);
        EXPECT_TRUE(object.value(QStringLiteral("needs_you")).isBool());
        EXPECT_EQ(object.value(QStringLiteral("needs_you")).toBool(), c.result.needsYou);
        EXPECT_EQ(object.value(QStringLiteral("chrome")).toBool(), c.result.chrome);
        EXPECT_EQ(object.value(QStringLiteral("text")).toString(), c.result.text);
    }
}

TEST(DriverResultJson, IsCompactAndKeepsNonAscii)
{
    const DriverResult result {true,
                               QStringLiteral("Grüße \"quoted\"\nline — 日本 👨‍👩‍👧"),
                               false,
                               true,
                               QStringLiteral("Café"),
                               {},
                               {},
                               {},
                               {},
                               {}};
    const QString json = result.json();
    EXPECT_FALSE(json.contains(QLatin1String(": ")));
    EXPECT_FALSE(json.contains(QLatin1String(", ")));
    EXPECT_FALSE(json.contains(QLatin1Char('\n')));
    EXPECT_TRUE(json.contains(QStringLiteral("Grüße"))); // written as UTF-8, not escaped away
    const QJsonObject object = parsed(json);
    EXPECT_EQ(object.value(QStringLiteral("text")).toString(), result.text);
    EXPECT_EQ(object.value(QStringLiteral("title")).toString(), QStringLiteral("Café"));
}

// A text that cannot be written as UTF-8 (a lone surrogate from a page)
// gives the fixed failure, never a lossy reply.
TEST(DriverResultJson, AnUnwritableTextGivesTheFixedFailure)
{
    DriverResult result;
    result.ok = true;
    result.text = QStringLiteral("before ") + QChar(0xD800);
    EXPECT_EQ(result.json(), replyFailureJson);
    result.text = QStringLiteral("fine");
    result.dialog = DialogInfo {QStringLiteral("alert"), QString(QChar(0xDC00))};
    result.newTabUrl = QStringLiteral("https://b.example/");
    EXPECT_EQ(result.details(), (QJsonObject {{"new_tab", "https://b.example/"}}))
        << "the unwritable dialog is left out";
}

TEST(NeedsYou, RecognisesVerificationPages)
{
    const std::pair<const char *, bool> cases[] = {
        {"", false},
        {"Please solve the CAPTCHA", true},
        {"recaptchaWidget", true}, // inside a longer word
        {"Verify you are human", true},
        {"I'm not a robot", true},
        {"I\u2019m not a robot", false}, // only the ASCII apostrophe
        {"i am not a robot", true},
        {"Are you a robot?", true},
        {"Our systems have detected unusual traffic", true},
        {"Checking your browser before accessing", true},
        {"- button \"Submit\" [ref=e2]", false},
        {"checking your", false},
    };
    for (const auto &[text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(needsYou(QString::fromUtf8(text)), expected);
    }
}

TEST(ParseJSONBody, ReadsObjectsAndNothingElse)
{
    struct Case {
        const char *text;
        Body expected;
    };
    const Case cases[] = {
        {"", {}},
        {"not json", {}},
        {"[1,2]", {}},
        {"\"just a string\"", {}},
        {"{\"url\":\"http://a/\"} trailing", {}},
        {"{}", {}},
        {"{\"url\":\"http://127.0.0.1/\",\"ref\":\"e2\"}", {{"url", "http://127.0.0.1/"}, {"ref", "e2"}}},
        {"{\"text\":\"Grüße 👋\"}", {{"text", QStringLiteral("Grüße 👋")}}},
        {"{\"n\":3,\"f\":1.5,\"b\":true,\"z\":null}", {{"n", "3"}, {"f", "1.5"}, {"b", "true"}, {"z", "null"}}},
        {"{\"a\":[1,\"x\"],\"o\":{\"k\":1}}", {{"a", "[1,\"x\"]"}, {"o", "{\"k\":1}"}}},
        {"{\"empty\":\"\"}", {{"empty", ""}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseJSONBody(QString::fromUtf8(c.text)), c.expected);
    }
    const QString loneSurrogate = QStringLiteral("{\"text\":\"a") + QChar(0xD800) + QStringLiteral("\"}");
    EXPECT_EQ(parseJSONBody(loneSurrogate), Body {}) << "text that is not UTF-8 is not converted lossily";
}

TEST(NeedsYouNotice, OncePerAddressInAWhileAndOnlyWhenSomeoneListens)
{
    test::TempHome home;
    const auto waiting = [](const char *url, const char *title) {
        return DriverResult {false,
                             QStringLiteral("Checking your browser"),
                             true,
                             true,
                             QString::fromLatin1(title),
                             QString::fromLatin1(url),
                             {},
                             {},
                             {},
                             {}};
    };
    AgentRunner runner;
    double now = 1000.0;
    DriverState state {[&now] { return now; }};
    DialogWatch watch {true};
    Job job {runner, state, watch};
    NeedsYouNotices &notices = state.notices;
    notices.noticeIfNeeded(job, waiting("http://a.example/", "A")); // nobody listens: nothing happens
    QStringList told;
    notices.setListener([&](const QString &text) { told << text; });
    notices.noticeIfNeeded(job, waiting("http://a.example/", "Just a moment..."));
    notices.noticeIfNeeded(job, waiting("http://a.example/", "Just a moment..."));
    notices.noticeIfNeeded(job, waiting("http://b.example/", ""));
    notices.noticeIfNeeded(
        job,
        DriverResult {
            true, QStringLiteral("fine"), false, true, {}, QStringLiteral("http://c.example/"), {}, {}, {}, {}});
    // Once the repeat time has passed, the same page is told again.
    now += needsYouRepeatSeconds - 1;
    notices.noticeIfNeeded(job, waiting("http://a.example/", "Just a moment..."));
    now += 1;
    notices.noticeIfNeeded(job, waiting("http://a.example/", "Just a moment..."));
    notices.setListener(nullptr);
    EXPECT_EQ(told,
              (QStringList {"Just a moment...: the page wants a person (a check or a captcha).",
                            "http://b.example/: the page wants a person (a check or a captcha).",
                            "Just a moment...: the page wants a person (a check or a captcha)."}));
    const QList<test::LoggedEvent> events = home.logged(QStringLiteral("needs-you.notify"));
    ASSERT_EQ(events.size(), 3);
    EXPECT_EQ(events[1]["url"], QStringLiteral("http://b.example/"));
}
