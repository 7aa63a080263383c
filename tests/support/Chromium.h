#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace corvane::test {

// The switches every Chromium started by a test gets: headless, no sandbox as
// root, and nothing that reaches out to the network.
QStringList quietChromiumSwitches();

// A real headless Chromium on a debugging port and a user-data folder of the
// test's choosing, stopped when the object goes away.
class Chromium {
public:
    Chromium(qint64 port, QString userDataDir, QString profileDirectory = QStringLiteral("Default"));
    ~Chromium();
    Chromium(const Chromium &) = delete;
    Chromium &operator=(const Chromium &) = delete;

    // True once "/json/version" answers; false when it did not within the limit.
    bool start(double limitSeconds = 30.0);
    void stop();
    // Ends it at once, as a crash would.
    void kill();

    qint64 port() const { return port_; }

private:
    qint64 port_;
    QString userDataDir_;
    QString profileDirectory_;
    QProcess process_;
};

// Process ids of main processes whose command line names `userDataDir`
// (the companion's gate in front of one among them).
QList<pid_t> chromePidsOn(const QString &userDataDir);

// Ends every main Chrome process on `userDataDir` (one a test had the
// companion launch itself) and waits until they are gone.
void stopChromeOn(const QString &userDataDir);

} // namespace corvane::test
