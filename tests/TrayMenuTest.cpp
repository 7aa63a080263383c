// The companion in a real system tray: a virtual X display with a tray host,
// the menu opened with the mouse and used with the keyboard as a user would,
// and screenshots of it in test-output/ to look at.

#include "link/LinkStore.h"

#include "DevChat.h"
#include "Eventually.h"
#include "QtPrinting.h"
#include "TempHome.h"
#include "XSession.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

using namespace corvane;
using corvane::test::eventually;

namespace {

// Where the tray host docks the first icon, and the menu that opens below it.
const QPoint iconSpot(3, 16);
const QRect menuArea(0, 34, 400, 220);

QString outputPath(const QString &name)
{
    QDir().mkpath(QStringLiteral(CORVANE_TEST_OUTPUT_DIR));
    return QStringLiteral(CORVANE_TEST_OUTPUT_DIR "/") + name;
}

int differingPixels(const QImage &a, const QImage &b, const QRect &area)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            count += a.pixel(x, y) != b.pixel(x, y);
    return count;
}

TEST(TrayMenu, AUserOpensItLinksToTheLocalChatAndQuits)
{
    test::TempHome home;
    test::XSession x;
    ASSERT_TRUE(x.started()) << "Xvfb and trayer are needed";
    test::DevChat chat({QStringLiteral("--auto-approve")}, 5001);
    ASSERT_TRUE(chat.started());

    QProcess companion;
    QProcessEnvironment environment = x.environment();
    // The approval page goes to a browser that does nothing.
    environment.insert(QStringLiteral("BROWSER"), QStringLiteral("/bin/true"));
    companion.setProcessEnvironment(environment);
    companion.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    companion.start(QStringLiteral(CORVANE_COMPANION_EXECUTABLE), {});
    ASSERT_TRUE(eventually([&] { return !home.events(QStringLiteral("socket.skip")).isEmpty(); }));

    // The logo docks in the tray: its dark square replaces the host's grey.
    QImage screen;
    const bool docked = eventually([&] {
        screen = x.grab();
        return !screen.isNull() && screen.pixelColor(iconSpot).lightness() < 80;
    });
    screen.save(outputPath(QStringLiteral("tray-start.png")));
    ASSERT_TRUE(docked) << companion.readAllStandardOutput().constData();
    screen.copy(0, 0, 40, 34).scaled(320, 272).save(outputPath(QStringLiteral("tray-icon.png")));
    // A tray companion prints no status lines; that is the headless one.
    EXPECT_TRUE(companion.readAllStandardOutput().isEmpty());

    // A click can land while the tray host still holds the pointer from the
    // last menu; a user clicks again, and so does this.
    const auto openMenu = [&](const char *shotName) {
        const QImage before = x.grab();
        QImage shown;
        bool opened = false;
        for (int attempt = 0; attempt < 5 && !opened; ++attempt) {
            x.xdotool({QStringLiteral("mousemove"), QStringLiteral("12"), QStringLiteral("16"), QStringLiteral("click"),
                       QStringLiteral("3")});
            opened = eventually(
                [&] {
                    shown = x.grab();
                    return differingPixels(before, shown, menuArea) > 5000;
                },
                2.0);
        }
        shown.save(outputPath(QString::fromUtf8(shotName)));
        return opened ? shown : QImage();
    };

    const QImage unlinked = openMenu("tray-menu.png");
    ASSERT_FALSE(unlinked.isNull());
    // Chrome is off here: "Open Chrome for debugging", the sign-in item, the
    // production connect, then the local one.
    x.xdotool({QStringLiteral("key"), QStringLiteral("Down"), QStringLiteral("Down"), QStringLiteral("Down"),
               QStringLiteral("Down"), QStringLiteral("Return")});
    ASSERT_TRUE(eventually([&] { return !home.events(QStringLiteral("socket.open")).isEmpty(); }));
    EXPECT_EQ(home.logged(QStringLiteral("link.connect"))[0]["host"], QStringLiteral("localhost"));
    EXPECT_TRUE(
        eventually([&] { return home.status().value(QStringLiteral("phase")).toString() == QLatin1String("idle"); }));

    const QJsonObject job = chat.runJob(QStringLiteral("/health"), {}, 30.0);
    EXPECT_EQ(job.value(QStringLiteral("socket")).toObject().value(QStringLiteral("token")).toString(),
              loadLink()->token)
        << QJsonDocument(job).toJson().constData();

    // The link line and "Disconnect Chat" replace the two connect items.
    const QImage linked = openMenu("tray-menu-linked.png");
    ASSERT_FALSE(linked.isNull());
    EXPECT_GT(differingPixels(unlinked, linked, menuArea), 100);

    // "Quit" is the last item.
    x.xdotool({QStringLiteral("key"), QStringLiteral("Up"), QStringLiteral("Return")});
    ASSERT_TRUE(companion.waitForFinished(10000));
    EXPECT_EQ(companion.exitCode(), 0);
    EXPECT_EQ(home.logged(QStringLiteral("app.quit")).value(0)["phase"], QStringLiteral("idle"));
    EXPECT_TRUE(loadLink()) << "quitting keeps the link";
}

} // namespace
