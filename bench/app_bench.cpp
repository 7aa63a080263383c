// The application's own costs: one menu refresh (its Chrome probe, link read
// and process scan run on the main thread), with Chrome off and on; drawing
// the tray icon; and a headless companion's start-up time and memory.

#include "CompanionApp.h"
#include "TrayIcon.h"

#include "chrome/ChromeTarget.h"
#include "driver/Driver.h"

#include "Chromium.h"
#include "Eventually.h"
#include "TempHome.h"

#include "BenchTiming.h"
#include "Dispatch.h"

#include <QApplication>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using namespace corvane::bench;

using namespace corvane;

constexpr qint64 chromePort = 9251;

long residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    test::TempHome home;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::freopen("/dev/null", "w", stderr);
    test::ScopedEnv port("CORVANE_CHROME_PORT", QString::number(chromePort));

    {
        Driver driver;
        CompanionApp companion(driver, nullptr, CompanionHooks::standard(driver));
        report("menu refresh, Chrome off", timesInMs(200, [&] { companion.refreshMenu(); }));
        test::Chromium chromium(chromePort, companionChromeProfile());
        if (!chromium.start()) {
            std::printf("Chromium did not start\n");
            return 1;
        }
        report("menu refresh, Chrome on", timesInMs(200, [&] { companion.refreshMenu(); }));
    }

    const QStringList titles {QString(), QStringLiteral("\u2713"), QStringLiteral("\u26A0\uFE0E")};
    int next = 0;
    report("tray icon, five sizes with a badge", timesInMs(200, [&] {
               for (const int side : {16, 22, 32, 48, 64})
                   TrayIcon::iconImage(side, Qt::black, titles[next++ % titles.size()]);
           }));

    std::vector<double> startUps;
    std::vector<long> memory;
    for (int run = 0; run < 10; ++run) {
        QFile::remove(home.logDir() + QStringLiteral("/events.log"));
        QProcess companion;
        companion.setStandardOutputFile(QProcess::nullDevice());
        companion.setStandardErrorFile(QProcess::nullDevice());
        const double started = platform::monotonicSeconds();
        companion.start(QStringLiteral(CORVANE_COMPANION_EXECUTABLE), {QStringLiteral("--headless")});
        if (!test::eventually([&] { return !home.events(QStringLiteral("socket.skip")).isEmpty(); }, 20.0)) {
            std::printf("the companion did not start\n");
            return 1;
        }
        startUps.push_back((platform::monotonicSeconds() - started) * 1000.0);
        platform::sleepFor(1.0);
        memory.push_back(residentKiB(companion.processId()));
        companion.terminate();
        companion.waitForFinished(10000);
    }
    report("headless start to \"socket.skip\"", startUps);
    std::sort(memory.begin(), memory.end());
    std::printf("resident memory of an idle headless companion: median %ld KiB, max %ld KiB\n",
                memory[memory.size() / 2], memory.back());
    return 0;
}
