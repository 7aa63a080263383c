#include "Processes.h"

#include <QProcess>
#include <QStringDecoder>

#include <atomic>
#include <cerrno>
#include <algorithm>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::platform {

namespace {

std::atomic<std::uint64_t> listings{0};

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
        struct stat owner {};
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

bool isExecutableFile(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QByteArray native = path.toLocal8Bit();
    struct stat info {};
    return ::stat(native.constData(), &info) == 0 && S_ISREG(info.st_mode)
        && ::access(native.constData(), X_OK) == 0;
}

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

} // namespace corvane::platform
