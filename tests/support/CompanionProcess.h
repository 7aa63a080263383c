#pragma once

#include <QProcess>
#include <QStringList>

namespace corvane::test {

// The real executable, started headless in the current (temporary) home and
// stopped when the object goes; for suites that talk to it over its sockets.
// Its standard error, where its events are copied, goes to the test's.
class CompanionProcess {
public:
    struct Options {
        QStringList arguments {QStringLiteral("--headless")};
        int descriptorLimit = 0; // 0: inherited
        // Run through this command first (another user, another namespace).
        QStringList prefix;
        // Where its log is, when it runs with another environment.
        QString eventsFile;
        // Its current folder; empty: ours.
        QString workingDirectory;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    };

    CompanionProcess();
    explicit CompanionProcess(Options options);
    static QString executable();
    ~CompanionProcess();
    CompanionProcess(const CompanionProcess &) = delete;
    CompanionProcess &operator=(const CompanionProcess &) = delete;

    // True once its local server logged "loopback.listen" (or the limit passed).
    bool waitListening(double seconds = 15.0);
    bool running() const { return process_.state() == QProcess::Running; }
    qint64 pid() const { return process_.processId(); }
    // Terminates it like a service manager would; true when it ended in time.
    bool stop();
    // What it printed on standard output so far.
    QString output();

private:
    QProcess process_;
    QString eventsFile_;
    QString said_;
    int listensBefore_ = 0;
};

// How many threads and open descriptors a process has, and its resident
// memory in KiB; 0 when gone.
int threadCount(qint64 pid);
int descriptorCount(qint64 pid);
qint64 residentKiB(qint64 pid);

// In-process launches start Chrome behind the built companion's gate, as
// the companion does.
void useChromeGate();

} // namespace corvane::test
