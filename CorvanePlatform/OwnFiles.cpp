#include "OwnFiles.h"

#include "Dispatch.h"

#include <QFile>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

#include <csignal>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::platform {

namespace {

int openOwn(const QByteArray &path)
{
    return ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += put;
    }
    return true;
}

struct StandardErrorQueue {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<QByteArray> waiting;
    qint64 bytes = 0;
    bool writerRuns = false;

    void serve()
    {
        // A reader that went away costs this thread its write, not the process.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        std::unique_lock lock(mutex);
        for (;;) {
            arrived.wait(lock, [this] { return !waiting.empty() || backgroundWorkFinishing(); });
            if (waiting.empty()) {
                writerRuns = false; // the program ends: what comes later is written by a new writer
                return;
            }
            const QByteArray next = std::move(waiting.front());
            waiting.pop_front();
            bytes -= next.size();
            lock.unlock();
            writeAll(STDERR_FILENO, next); // a closed stream just loses it
            lock.lock();
        }
    }
};

StandardErrorQueue &standardErrorQueue()
{
    static auto *queue = [] {
        auto *made = new StandardErrorQueue; // its thread outlives every static
        whenFinishing([made] {
            std::lock_guard lock(made->mutex);
            made->arrived.notify_all();
        });
        return made;
    }();
    return *queue;
}

} // namespace

Appended appendToOwnFile(const QString &path, const QByteArray &bytes, qint64 limit, const QString &rotated)
{
    const QByteArray native = QFile::encodeName(path);
    int fd = openOwn(native);
    if (fd < 0)
        return errno == ELOOP ? Appended::notOurs : Appended::failed;
    struct stat info { };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        ::close(fd);
        return Appended::notOurs;
    }
    if (info.st_size > 0 && info.st_size + bytes.size() > limit) {
        ::close(fd);
        // Whoever rotates first wins; the others find a fresh file.
        ::rename(native.constData(), QFile::encodeName(rotated).constData());
        fd = openOwn(native);
        if (fd < 0)
            return Appended::failed;
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
            ::close(fd);
            return Appended::notOurs;
        }
    }
    const bool written = writeAll(fd, bytes);
    ::close(fd);
    return written ? Appended::written : Appended::failed;
}

void writeToStandardError(const QByteArray &bytes)
{
    StandardErrorQueue &queue = standardErrorQueue();
    std::lock_guard lock(queue.mutex);
    if (queue.bytes + bytes.size() > standardErrorBacklog)
        return;
    if (!queue.writerRuns)
        queue.writerRuns = runInBackground([&queue] { queue.serve(); });
    if (!queue.writerRuns)
        return;
    queue.waiting.push_back(bytes);
    queue.bytes += bytes.size();
    queue.arrived.notify_one();
}

QString moveIntoFolder(const QString &from, const QString &folder, const QString &name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString extension = dot > 0 ? name.mid(dot) : QString();
    const QByteArray source = QFile::encodeName(from);
    for (int number = 0; number < 1000; ++number) {
        const QString candidate = folder + QLatin1Char('/')
            + (number == 0 ? name : QStringLiteral("%1 (%2)%3").arg(stem).arg(number).arg(extension));
        const QByteArray target = QFile::encodeName(candidate);
        // A link is made only where no file is: the taken name is never replaced.
        if (::link(source.constData(), target.constData()) == 0) {
            ::unlink(source.constData());
            return candidate;
        }
        if (errno == EEXIST)
            continue;
        if (errno != EXDEV)
            return {};
        // Another file system: a copy, made only where no file is.
        const int out = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (out < 0) {
            if (errno == EEXIST)
                continue;
            return {};
        }
        QFile copy;
        QFile in(from);
        bool copied
            = copy.open(out, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle) && in.open(QIODevice::ReadOnly);
        while (copied && !in.atEnd()) {
            const QByteArray chunk = in.read(1 << 20);
            copied = !chunk.isEmpty() && copy.write(chunk) == chunk.size();
        }
        copy.close();
        if (!copied) {
            ::unlink(target.constData());
            return {};
        }
        in.remove();
        return candidate;
    }
    return {};
}

} // namespace corvane::platform
