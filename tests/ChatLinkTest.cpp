// The link file, the URLs made from a link, the channel's control words and
// the job activity record.

#include "link/LinkStore.h"
#include "link/SocketChannel.h"

#include "QtPrinting.h"
#include "TempHome.h"

#include "UserPaths.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace corvane;

namespace {

int modeOf(const QString &path)
{
    struct stat info { };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

QString linkFolder()
{
    return platform::applicationSupportDir() + QStringLiteral("/CorvaneCompanion");
}

const QString token = QStringLiteral("AbCdEfGhIjKlMnOpQrStUv-_");

} // namespace

TEST(LinkStore, LoadsOnlyAnObjectWithAStringHostAndToken)
{
    struct Case {
        const char *name;
        std::optional<QByteArray> content; // none: no file
        std::optional<CompanionLink> expected;
    };
    const CompanionLink local {QStringLiteral("http://localhost:5001"), token};
    const Case cases[] = {
        {"missing", std::nullopt, std::nullopt},
        {"empty", QByteArray(), std::nullopt},
        {"not JSON", "host=x", std::nullopt},
        {"array", R"([{"host":"http://localhost:5001","token":"t"}])", std::nullopt},
        {"string", R"("http://localhost:5001")", std::nullopt},
        {"host empty", R"({"host":"","token":"t"})", std::nullopt},
        {"token a number", R"({"host":"http://localhost:5001","token":5})", std::nullopt},
        {"token null", R"({"host":"http://localhost:5001","token":null})", std::nullopt},
        {"host missing", R"({"token":"t"})", std::nullopt},
        {"extra member", R"({"host":"http://localhost:5001","token":"AbCdEfGhIjKlMnOpQrStUv-_","linked":true})", local},
        {"pretty", "{\n    \"token\": \"AbCdEfGhIjKlMnOpQrStUv-_\",\n    \"host\": \"http://localhost:5001\"\n}\n",
         local},
        {"host one space", R"({"host":" ","token":"t"})", CompanionLink {QStringLiteral(" "), QStringLiteral("t")}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(linkFileURL());
        if (c.content) {
            ASSERT_TRUE(test::writeFile(linkFileURL(), *c.content));
        }
        EXPECT_EQ(loadLink(), c.expected);
        EXPECT_EQ(connectAllowed(loadLink()), !c.expected.has_value());
    }
    QFile::remove(linkFileURL());
}

TEST(LinkStore, SavesAPrivateFileThatReadsBackAndClears)
{
    // An older folder made with the usual rights is closed on the next save.
    linkFileURL();
    ASSERT_TRUE(QFile::setPermissions(linkFolder(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                          | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
    test::writeFile(linkFileURL(), "{}");
    QFile::setPermissions(linkFileURL(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);

    const CompanionLink link {QStringLiteral("https://chat.corvane.app"), newLinkToken()};
    saveLink(link);
    EXPECT_EQ(loadLink(), link);
    EXPECT_EQ(modeOf(linkFileURL()), 0600);
    EXPECT_EQ(modeOf(linkFolder()), 0700);
    const QJsonObject stored = QJsonDocument::fromJson(test::readFile(linkFileURL())).object();
    EXPECT_EQ(stored, (QJsonObject {{"host", link.host}, {"token", link.token}}));
    EXPECT_FALSE(connectAllowed(link));

    clearLink();
    EXPECT_EQ(loadLink(), std::nullopt);
    clearLink(); // nothing left to remove: still quiet
    EXPECT_TRUE(QFileInfo(linkFolder()).isDir());
}

TEST(LinkStore, ANewFolderIsPrivateFromTheStart)
{
    test::TempHome fresh;
    saveLink({QStringLiteral("http://localhost:5001"), token});
    EXPECT_EQ(modeOf(linkFolder()), 0700);
    EXPECT_EQ(modeOf(linkFileURL()), 0600);
}

TEST(LinkStore, TokensAreFreshURLSafeAndTwentyFourLong)
{
    static const QRegularExpression form(QStringLiteral("^[A-Za-z0-9_-]{24}$"));
    QSet<QString> seen;
    for (int i = 0; i < 500; ++i) {
        const QString made = newLinkToken();
        ASSERT_TRUE(form.match(made).hasMatch()) << made.toStdString();
        seen.insert(made);
    }
    EXPECT_EQ(seen.size(), 500);
}

TEST(LinkStore, URLsAndLabelsOfAHost)
{
    struct Case {
        QString host;
        std::optional<QString> socket; // none: no socket URL
        std::optional<QString> connect;
        QString label;
    };
    // The version goes out percent-encoded except letters and digits; the
    // URL then spells encoded dots as dots, the same URI to every server.
    const QString tail = QStringLiteral("/api/assistant/companion/socket?token=") + token + QStringLiteral("&v=0.1.0");
    const QString approve = QStringLiteral("/companion/connect?token=") + token;
    const Case cases[] = {
        {QStringLiteral("https://chat.corvane.app"), QStringLiteral("wss://chat.corvane.app") + tail,
         QStringLiteral("https://chat.corvane.app") + approve, QStringLiteral("chat.corvane.app")},
        {QStringLiteral("http://localhost:5001"), QStringLiteral("ws://localhost:5001") + tail,
         QStringLiteral("http://localhost:5001") + approve, QStringLiteral("localhost")},
        {QStringLiteral("http://127.0.0.1:5001"), QStringLiteral("ws://127.0.0.1:5001") + tail,
         QStringLiteral("http://127.0.0.1:5001") + approve, QStringLiteral("127.0.0.1")},
        // Not mapped: an upper-case scheme (which the URL then spells in
        // lower case) and a host without one.
        {QStringLiteral("HTTPS://chat.corvane.app"), QStringLiteral("https://chat.corvane.app") + tail,
         QStringLiteral("https://chat.corvane.app") + approve, QStringLiteral("chat.corvane.app")},
        {QStringLiteral("chat.corvane.app"), QStringLiteral("chat.corvane.app") + tail,
         QStringLiteral("chat.corvane.app") + approve, QStringLiteral("chat.corvane.app")},
        {QStringLiteral("localhost:5001"), QStringLiteral("localhost:5001") + tail,
         QStringLiteral("localhost:5001") + approve, QStringLiteral("localhost:5001")},
        // Text that is no URL gives no address and labels itself.
        {QStringLiteral("chat corvane"), std::nullopt, std::nullopt, QStringLiteral("chat corvane")},
        {QStringLiteral("http://[::1"), std::nullopt, std::nullopt, QStringLiteral("http://[::1")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host.toStdString());
        const CompanionLink link {c.host, token};
        const std::optional<QUrl> socket = link.socketURL();
        ASSERT_EQ(socket.has_value(), c.socket.has_value());
        if (socket) {
            EXPECT_EQ(socket->toString(QUrl::FullyEncoded), *c.socket);
        }
        const std::optional<QUrl> connect = link.connectURL();
        ASSERT_EQ(connect.has_value(), c.connect.has_value());
        if (connect) {
            EXPECT_EQ(connect->toString(QUrl::FullyEncoded), *c.connect);
        }
        EXPECT_EQ(chatHostLabel(c.host), c.label);
    }
}

TEST(LinkStore, BuildTimeOriginsHaveTheirForm)
{
    EXPECT_TRUE(productionChat.startsWith(QLatin1String("https://")));
    EXPECT_TRUE(localChat.startsWith(QLatin1String("http://")));
    EXPECT_TRUE(localChat.endsWith(QLatin1String(":5001")));
    for (const QString &origin : {productionChat, localChat}) {
        EXPECT_FALSE(origin.endsWith(QLatin1Char('/')));
        EXPECT_TRUE(QUrl(origin).path().isEmpty());
    }
}

TEST(SocketControl, PicksTheFirstTrueControlMember)
{
    struct Case {
        const char *message;
        std::optional<QString> expected;
    };
    const Case cases[] = {
        {R"({"refresh":true})", QStringLiteral("refresh")},
        {R"({"heartbeat":true})", QStringLiteral("heartbeat")},
        {R"({"waiting":true})", QStringLiteral("waiting")},
        {R"({"waiting":true,"heartbeat":true,"refresh":true})", QStringLiteral("refresh")},
        {R"({"refresh":false,"heartbeat":true})", QStringLiteral("heartbeat")},
        {R"({"refresh":false,"heartbeat":false,"waiting":true})", QStringLiteral("waiting")},
        {R"({"waiting":false})", std::nullopt},
        {R"({"refresh":"true"})", std::nullopt},
        {R"({"refresh":1,"heartbeat":"yes","waiting":null})", std::nullopt},
        {R"({"refresh":true,"id":"job-1","path":"/open"})", QStringLiteral("refresh")},
        {R"({"id":"job-1","path":"/open"})", std::nullopt},
        {R"({})", std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        const std::optional<SocketControl> control = socketControl(QJsonDocument::fromJson(c.message).object());
        EXPECT_EQ(control ? std::optional(socketControlWord(*control)) : std::nullopt, c.expected);
    }
}
