// What keeping the event log healthy costs a line: the owner-checked,
// link-refusing append against a plain append, a whole companionLog call, and
// a line that rotates the file.

#include "BenchTiming.h"

#include "diagnostics/EventLog.h"

#include "TempHome.h"

#include "OwnFiles.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

using namespace corvane;

namespace {

void reportMicros(const char *what, const std::vector<double> &timesMs)
{
    std::printf("%s: median %.1f us, p99 %.1f us (%zu lines)\n", what, bench::percentile(timesMs, 0.5) * 1000.0,
                bench::percentile(timesMs, 0.99) * 1000.0, timesMs.size());
}

} // namespace

int main(int argc, char **argv)
{
    test::TempHome home;
    QCoreApplication app(argc, argv);
    const QByteArray line = logLine(QDateTime::currentDateTimeUtc(), QStringLiteral("agent.end"),
                                    {{QStringLiteral("args"), QStringLiteral("snapshot -i -c")},
                                     {QStringLiteral("out"), QString(200, QLatin1Char('x'))},
                                     {QStringLiteral("status"), QStringLiteral("0")}})
                                .toUtf8();
    const QString plain = home.path() + QStringLiteral("/plain.log");
    const QString own = home.path() + QStringLiteral("/own.log");

    reportMicros("plain append (open, write, close)", bench::timesInMs(20000, [&] {
                     QFile file(plain);
                     if (file.open(QIODevice::WriteOnly | QIODevice::Append))
                         file.write(line);
                 }));
    reportMicros("append refusing links and other users' files", bench::timesInMs(20000, [&] {
                     platform::appendToOwnFile(own, line, eventsLogLimit, own + QStringLiteral(".1"));
                 }));
    reportMicros("companionLog, a whole line", bench::timesInMs(20000, [] {
                     companionLog(QStringLiteral("bench"),
                                  {{QStringLiteral("url"), QStringLiteral("https://example.com/a?sig=1")}});
                 }));
    std::vector<double> rotations;
    for (int i = 0; i < 50; ++i) {
        QFile::resize(own, eventsLogLimit - 10);
        const std::vector<double> one = bench::timesInMs(1, [&] {
            platform::appendToOwnFile(own, line, eventsLogLimit, own + QStringLiteral(".1"));
        });
        rotations.insert(rotations.end(), one.begin(), one.end());
    }
    reportMicros("a line that rotates a 10 MiB file", rotations);
    return 0;
}
