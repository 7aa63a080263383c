#include "Processes.h"

#include <QProcess>
#include <QStringDecoder>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace corvane::platform {

namespace {

std::atomic<std::uint64_t> listings {0};

QByteArray readWhole(const char *path)
{
    QByteArray bytes;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bytes.append(buffer, n);
    }
    ::close(fd);
    return bytes;
}

} // namespace

QStringList processCommandLines()
{
    ++listings;
    std::vector<long> pids;
    if (DIR *proc = ::opendir("/proc")) {
        while (const dirent *entry = ::readdir(proc)) {
            char *end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (pid > 0 && end && *end == '\0')
                pids.push_back(pid);
        }
        ::closedir(proc);
    }
    std::sort(pids.begin(), pids.end());

    QStringList lines;
    lines.reserve(static_cast<qsizetype>(pids.size()));
    const uid_t us = ::geteuid();
    for (const long pid : pids) {
        const QByteArray folder = "/proc/" + QByteArray::number(static_cast<qlonglong>(pid));
        struct stat owner { };
        if (::stat(folder.constData(), &owner) != 0 || owner.st_uid != us)
            continue;
        const QByteArray path = folder + "/cmdline";
        QByteArray raw = readWhole(path.constData());
        while (raw.endsWith('\0'))
            raw.chop(1);
        if (raw.isEmpty())
            continue; // kernel threads and zombies have no command line
        raw.replace('\0', ' ');
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString line = utf8(raw);
        if (!utf8.hasError() && !line.isEmpty())
            lines.append(line);
    }
    return lines;
}

std::optional<QString> processProgram(qint64 pid)
{
    if (pid <= 0)
        return std::nullopt;
    const QByteArray path = "/proc/" + QByteArray::number(pid) + "/cmdline";
    const QByteArray raw = readWhole(path.constData());
    if (raw.isEmpty())
        return std::nullopt;
    return QString::fromLocal8Bit(raw.left(raw.indexOf('\0')));
}

std::uint64_t processListings()
{
    return listings.load();
}

bool launchDetached(const QString &program, const QStringList &arguments)
{
    return QProcess::startDetached(program, arguments);
}

namespace {

std::optional<qint64> spawnOnDescriptors(const QString &program, const QStringList &arguments, int childReads,
                                         int childWrites)
{
#ifdef F_SETPIPE_SZ
    // Room for a large message (a screenshot) in one go rather than in the
    // system's 64 KiB turns; where the system will not, the default serves.
    constexpr int pipeRoom = 1024 * 1024;
    ::fcntl(childReads, F_SETPIPE_SZ, pipeRoom);
    ::fcntl(childWrites, F_SETPIPE_SZ, pipeRoom);
#endif
    // Above 4, so that neither lands on the other's place before its dup2.
    const int reads = ::fcntl(childReads, F_DUPFD_CLOEXEC, 10);
    const int writes = ::fcntl(childWrites, F_DUPFD_CLOEXEC, 10);
    std::vector<QByteArray> words {program.toLocal8Bit()};
    for (const QString &argument : arguments)
        words.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, reads, 3);
    posix_spawn_file_actions_adddup2(&actions, writes, 4);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int failed = reads < 0 || writes < 0
        ? EBADF
        : ::posix_spawn(&pid, words.front().constData(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (reads >= 0)
        ::close(reads);
    if (writes >= 0)
        ::close(writes);
    if (failed != 0)
        return std::nullopt;
    return pid;
}

} // namespace

std::optional<PipedChild> spawnWithPipes(const QString &program, const QStringList &arguments)
{
    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0)
        return std::nullopt;
    if (::pipe2(fromChild, O_CLOEXEC) != 0) {
        ::close(toChild[0]);
        ::close(toChild[1]);
        return std::nullopt;
    }
    const std::optional<qint64> pid = spawnOnDescriptors(program, arguments, toChild[0], fromChild[1]);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    if (!pid) {
        ::close(fromChild[0]);
        ::close(toChild[1]);
        return std::nullopt;
    }
    return PipedChild {*pid, fromChild[0], toChild[1]};
}

std::optional<int> runToExit(const QString &program, const QStringList &arguments, double limitSeconds)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    process.start(program, arguments);
    if (!process.waitForStarted(static_cast<int>(limitSeconds * 1000)))
        return std::nullopt;
    if (!process.waitForFinished(static_cast<int>(limitSeconds * 1000)) || process.exitStatus() != QProcess::NormalExit)
        return std::nullopt;
    return process.exitCode();
}

bool BackgroundStart::begin()
{
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return false;
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (child > 0) {
        ::close(report[1]);
        unsigned char code = 1; // the child ended without a word
        while (::read(report[0], &code, 1) < 0 && errno == EINTR) { }
        ::_exit(code);
    }
    ::close(report[0]);
    // Nothing the parent's parent left open (a test runner's log, a
    // terminal's pipe) stays open for as long as this one lives.
    reportTo_ = report[1];
    if (reportTo_ != 3) {
        reportTo_ = ::dup3(report[1], 3, O_CLOEXEC);
        ::close(report[1]);
    }
    ::close_range(4, ~0U, 0);
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    return true;
}

void BackgroundStart::report(int code)
{
    if (reportTo_ < 0)
        return;
    const unsigned char byte = static_cast<unsigned char>(code);
    while (::write(reportTo_, &byte, 1) < 0 && errno == EINTR) { }
    ::close(reportTo_);
    reportTo_ = -1;
}

bool isExecutableFile(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QByteArray native = path.toLocal8Bit();
    struct stat info { };
    return ::stat(native.constData(), &info) == 0 && S_ISREG(info.st_mode) && ::access(native.constData(), X_OK) == 0;
}

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

} // namespace corvane::platform
