// The real executable, started headless in a temporary home: its start-up
// order, a taken port, linking to the development chat service, the commands
// that stand in for the menu, and an installed copy.

#include "link/LinkStore.h"
#include "menu/CompanionMenu.h"

#include "UserPaths.h"

#include "DevChat.h"
#include "EventChecks.h"
#include "Eventually.h"
#include "QtPrinting.h"
#include "TempHome.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace corvane;
using corvane::test::eventually;

namespace {

const QString executable = QStringLiteral(CORVANE_COMPANION_EXECUTABLE);

// A running companion whose standard output is collected.
class Companion {
public:
    explicit Companion(const QStringList &arguments, const QString &program = executable)
    {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(program, arguments);
    }
    ~Companion()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    bool saysEventually(const QString &text, double seconds = 15.0)
    {
        return eventually(
            [&] {
                process_.waitForReadyRead(50);
                said_ += QString::fromUtf8(process_.readAllStandardOutput());
                return said_.contains(text);
            },
            seconds);
    }
    // Stops it the way a terminal or service manager does.
    int stop()
    {
        process_.terminate();
        process_.waitForFinished(10000);
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }
    // The last line it printed: a headless companion's menu status.
    QString lastLine()
    {
        said_ += QString::fromUtf8(process_.readAllStandardOutput());
        return said_.trimmed().section(QLatin1Char('\n'), -1);
    }
    QProcess &process() { return process_; }

private:
    QProcess process_;
    QString said_;
};

struct CommandRun {
    int exitCode;
    QString out;
    QString err;
};

CommandRun command(const QStringList &arguments, const QString &program = executable)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(30000);
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

QStringList eventNames(const test::TempHome &home)
{
    QStringList names;
    for (const test::LoggedEvent &event : home.logged())
        names << event.name;
    return names;
}

TEST(HeadlessStart, LogsInOrderAndQuitsOnTerm)
{
    test::TempHome home;
    Companion companion({QStringLiteral("--headless")});
    ASSERT_TRUE(eventually([&] { return eventNames(home).contains(QStringLiteral("socket.skip")); }));
    EXPECT_EQ(eventNames(home), (QStringList {"app.start", "update.off", "loopback.listen", "socket.skip"}));
    const test::LoggedEvent start = home.logged(QStringLiteral("app.start")).value(0);
    EXPECT_TRUE(test::isEvent(start, "app.start", {{"host", ""}, {"linked", "no"}, {"version", "0.1.0"}}));
    EXPECT_FALSE(start["pid"].isEmpty()) << start;
    EXPECT_TRUE(
        test::isEvent(home.logged(QStringLiteral("update.off")).value(0), "update.off", {{"reason", "not-a-bundle"}}));
    EXPECT_TRUE(
        test::isEvent(home.logged(QStringLiteral("socket.skip")).value(0), "socket.skip", {{"reason", "no-link"}}));
    EXPECT_EQ(home.status().value(QStringLiteral("phase")).toString(), QStringLiteral("start"));
    // A build-tree binary is no installed copy: nothing registered.
    EXPECT_TRUE(home.events(QStringLiteral("login-item.set")).isEmpty());

    // One companion per user: a second start says so and leaves at once.
    const CommandRun second = command({QStringLiteral("--headless")});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.out, QStringLiteral("Corvane Companion is already running.\n"));
    EXPECT_EQ(home.events(QStringLiteral("app.start")).size(), 1);

    EXPECT_EQ(companion.stop(), 0);
    EXPECT_TRUE(test::isEvent(home.logged(QStringLiteral("app.quit")).value(0), "app.quit", {{"phase", "off"}}));
    EXPECT_TRUE(QFile::exists(home.logDir() + QStringLiteral("/events.log")));
}

// Without XDG_RUNTIME_DIR the lock lives in the user's own state folder: a
// folder another account made where the shared temporary one used to be
// cannot split two starts of the user apart.
TEST(HeadlessStart, WithoutARuntimeFolderASecondStartStillMeetsTheLock)
{
    test::TempHome home;
    test::ScopedEnv noRuntime("XDG_RUNTIME_DIR", QString());
    const QString shared = home.path() + QStringLiteral("/tmp");
    QDir().mkpath(shared);
    test::ScopedEnv tmpdir("TMPDIR", shared);
    const QString taken = shared + QStringLiteral("/corvane-companion-") + QString::number(::geteuid());
    QDir().mkpath(taken);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(QFile::encodeName(taken).constData(), 65534, 65534), 0) << "nobody's folder";
    }

    Companion first({QStringLiteral("--headless")});
    ASSERT_TRUE(eventually([&] { return eventNames(home).contains(QStringLiteral("loopback.listen")); }));
    const CommandRun second = command({QStringLiteral("--headless")});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.out, QStringLiteral("Corvane Companion is already running.\n"));
    EXPECT_EQ(home.events(QStringLiteral("app.start")).size(), 1);
    EXPECT_EQ(first.stop(), 0);
}

TEST(HeadlessStart, ATakenPortShowsTheErrorLineFromTheNextRefresh)
{
    test::TempHome home;
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost, 8766));
    Companion companion({QStringLiteral("--headless")});
    ASSERT_TRUE(eventually([&] { return !home.events(QStringLiteral("loopback.fail")).isEmpty(); }));
    EXPECT_FALSE(home.logged(QStringLiteral("loopback.fail"))[0]["error"].isEmpty());
    EXPECT_TRUE(home.events(QStringLiteral("loopback.listen")).isEmpty());
    // The first menu line at start-up, then the error from the first tick.
    EXPECT_TRUE(companion.saysEventually(QStringLiteral("Corvane: ")));
    EXPECT_TRUE(companion.saysEventually(menuErrorStatus, 20.0));
    EXPECT_EQ(companion.process().state(), QProcess::Running);
    EXPECT_EQ(companion.stop(), 0);
}

TEST(HeadlessStart, ConnectLocalLinksRunsAJobAndDisconnects)
{
    test::TempHome home;
    test::DevChat chat({QStringLiteral("--auto-approve")}, 5001);
    ASSERT_TRUE(chat.started());

    Companion companion({QStringLiteral("--headless"), QStringLiteral("--connect"), QStringLiteral("local")});
    ASSERT_TRUE(companion.saysEventually(
        QStringLiteral("Approve the link in your browser: http://localhost:5001/companion/connect?token=")));
    EXPECT_TRUE(companion.saysEventually(QStringLiteral("Connected to localhost")));
    EXPECT_TRUE(
        eventually([&] { return home.status().value(QStringLiteral("phase")).toString() == QStringLiteral("idle"); }));
    EXPECT_EQ(home.status().value(QStringLiteral("host")).toString(), QStringLiteral("localhost"));

    const QJsonObject job = chat.runJob(QStringLiteral("/health"), {}, 30.0);
    const QJsonObject reply = job.value(QStringLiteral("socket")).toObject();
    ASSERT_FALSE(reply.isEmpty()) << QJsonDocument(job).toJson().constData();
    EXPECT_EQ(reply.value(QStringLiteral("token")).toString(), loadLink()->token);
    EXPECT_TRUE(reply.contains(QStringLiteral("ok")));

    // The command hangs up; the running companion lets go within a turn.
    const CommandRun disconnect = command({QStringLiteral("disconnect")});
    EXPECT_EQ(disconnect.exitCode, 0);
    EXPECT_EQ(disconnect.out, QStringLiteral("Disconnected from localhost.\n"));
    EXPECT_FALSE(loadLink());
    ASSERT_TRUE(eventually([&] { return !home.events(QStringLiteral("socket.end")).isEmpty(); }, 20.0));
    EXPECT_TRUE(test::isEvent(home.logged(QStringLiteral("socket.end"))[0], "socket.end", {{"result", "idle"}}));
    EXPECT_TRUE(eventually([&] {
        companion.process().waitForReadyRead(50);
        return !companion.lastLine().contains(QStringLiteral("localhost"));
    })) << companion.lastLine().toStdString();
    EXPECT_EQ(chat.get("/dev/received").value(QStringLiteral("bye")).toArray().size(), 1);

    const CommandRun status = command({QStringLiteral("status")});
    EXPECT_EQ(status.exitCode, 0);
    // Its connection ended with the link: nothing is connected any more.
    EXPECT_TRUE(status.out.contains(QStringLiteral("\"phase\": \"off\""))) << status.out.toStdString();
    EXPECT_TRUE(status.out.contains(QStringLiteral("\nLink: none\n")));
    EXPECT_TRUE(status.out.contains(QStringLiteral("\nChrome debugging: ")));
    EXPECT_EQ(companion.stop(), 0);
}

TEST(HeadlessStart, ConnectIsRefusedWhileLinked)
{
    test::TempHome home;
    const CompanionLink stored {QStringLiteral("http://127.0.0.1:1"), newLinkToken()};
    saveLink(stored);
    Companion companion({QStringLiteral("--headless"), QStringLiteral("--connect"), QStringLiteral("prod")});
    ASSERT_TRUE(eventually([&] { return !home.events(QStringLiteral("link.connect-blocked")).isEmpty(); }));
    EXPECT_TRUE(test::isEvent(home.logged(QStringLiteral("link.connect-blocked"))[0], "link.connect-blocked",
                              {{"host", "chat.corvane.app"}, {"linked", "127.0.0.1"}}));
    EXPECT_EQ(loadLink(), stored);
    EXPECT_TRUE(home.events(QStringLiteral("link.connect")).isEmpty());
    EXPECT_EQ(companion.stop(), 0);
}

TEST(Commands, DefaultsReadWriteAndDelete)
{
    test::TempHome home;
    struct Step {
        QStringList arguments;
        int exitCode;
        const char *out;
    } const steps[] = {
        {{"defaults", "read", "chromeFlags"}, 1, ""},
        {{"defaults", "write", "chromeFlags", "--lang=de --mute-audio"}, 0, ""},
        {{"defaults", "read", "chromeFlags"}, 0, "--lang=de --mute-audio\n"},
        {{"defaults", "write", "chromeFlags", ""}, 0, ""},
        {{"defaults", "read", "chromeFlags"}, 0, "\n"},
        {{"defaults", "delete", "chromeFlags"}, 0, ""},
        {{"defaults", "read", "chromeFlags"}, 1, ""},
        {{"defaults", "delete", "never-set"}, 0, ""},
        {{"defaults", "read"}, 2, ""},
        {{"defaults", "write", "key"}, 2, ""},
        {{"defaults", "remove", "key"}, 2, ""},
        {{"status", "extra"}, 2, ""},
        {{"frobnicate"}, 2, ""},
        {{"--connect", "staging"}, 2, ""},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.arguments.join(QLatin1Char(' ')).toStdString());
        const CommandRun run = command(step.arguments);
        EXPECT_EQ(run.exitCode, step.exitCode) << run.err.toStdString();
        EXPECT_EQ(run.out, QString::fromUtf8(step.out));
        if (step.exitCode != 0) {
            EXPECT_FALSE(run.err.isEmpty());
        }
    }
    // Written where the companion's own settings reader looks.
    command({QStringLiteral("defaults"), QStringLiteral("write"), QStringLiteral("companionChromeProfile"),
             QStringLiteral("Work")});
    EXPECT_TRUE(
        test::readFile(platform::configHome() + QStringLiteral("/CorvaneCompanion/defaults.ini")).contains("Work"));
}

TEST(Commands, DisconnectWithoutALink)
{
    test::TempHome home;
    const CommandRun run = command({QStringLiteral("disconnect")});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, QStringLiteral("Not linked.\n"));
    EXPECT_TRUE(home.events().isEmpty());
}

TEST(InstalledCopy, RegistersAtLoginOnceAndStillReportsUpdatesOff)
{
    test::TempHome home;
    QTemporaryDir prefix;
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral(CORVANE_CMAKE_COMMAND),
                  {QStringLiteral("--install"), QStringLiteral(CORVANE_BUILD_DIR), QStringLiteral("--prefix"),
                   prefix.path()});
    ASSERT_TRUE(install.waitForFinished(60000));
    ASSERT_EQ(install.exitCode(), 0) << install.readAll().constData();
    const QString installed = prefix.path() + QStringLiteral("/bin/corvane-companion");
    for (const QString &file :
         {installed, prefix.path() + QStringLiteral("/share/applications/app.corvane.companion.desktop"),
          prefix.path() + QStringLiteral("/share/icons/hicolor/scalable/apps/app.corvane.companion.svg")})
        EXPECT_TRUE(QFile::exists(file)) << file.toStdString();

    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        Companion companion({QStringLiteral("--headless")}, installed);
        ASSERT_TRUE(eventually([&] { return home.events(QStringLiteral("socket.skip")).size() == run + 1; }));
        EXPECT_EQ(companion.stop(), 0);
    }
    const QList<test::LoggedEvent> set = home.logged(QStringLiteral("login-item.set"));
    ASSERT_EQ(set.size(), 1);
    EXPECT_TRUE(test::isEvent(set[0], "login-item.set", {{"on", "yes"}, {"status", "1"}}));
    const QByteArray entry
        = test::readFile(platform::configHome() + QStringLiteral("/autostart/app.corvane.companion.desktop"));
    EXPECT_TRUE(entry.contains("\nExec=\"" + installed.toUtf8() + "\"\n")) << entry.constData();
    EXPECT_EQ(command({QStringLiteral("defaults"), QStringLiteral("read"), QStringLiteral("launchAtLoginOffered")}).out,
              QStringLiteral("true\n"));
    EXPECT_EQ(home.events(QStringLiteral("update.off")).size(), 2);
}

} // namespace
