#include "gate/PipeChannel.h"

#include <QSocketNotifier>

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace corvane {

namespace {

constexpr qsizetype readChunk = 1024 * 1024; // the pipe's room

void nonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

} // namespace

PipeChannel::PipeChannel(int readFrom, int writeTo, QObject *parent)
    : QObject(parent)
    , readFrom_(readFrom)
    , writeTo_(writeTo)
    , readable_(new QSocketNotifier(readFrom, QSocketNotifier::Read, this))
    , writable_(new QSocketNotifier(writeTo, QSocketNotifier::Write, this))
{
    nonBlocking(readFrom_);
    nonBlocking(writeTo_);
    writable_->setEnabled(false);
    connect(readable_, &QSocketNotifier::activated, this, &PipeChannel::readSome);
    connect(writable_, &QSocketNotifier::activated, this, &PipeChannel::writeSome);
}

PipeChannel::~PipeChannel()
{
    ::close(readFrom_);
    ::close(writeTo_);
}

void PipeChannel::send(const QByteArray &message)
{
    if (ended_)
        return;
    outgoing_.append(message);
    outgoing_.append('\0');
    if (!writable_->isEnabled())
        writeSome();
}

void PipeChannel::writeSome()
{
    while (written_ < outgoing_.size()) {
        const ssize_t n = ::write(writeTo_, outgoing_.constData() + written_, outgoing_.size() - written_);
        if (n > 0) {
            written_ += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            writable_->setEnabled(true);
            return;
        }
        end();
        return;
    }
    outgoing_.clear();
    written_ = 0;
    writable_->setEnabled(false);
}

void PipeChannel::readSome()
{
    // One read a wake-up: the notifier comes again while more is waiting.
    const qsizetype had = incoming_.size();
    incoming_.resize(had + readChunk);
    ssize_t n = 0;
    do {
        n = ::read(readFrom_, incoming_.data() + had, readChunk);
    } while (n < 0 && errno == EINTR);
    incoming_.resize(had + std::max<ssize_t>(n, 0));
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (n <= 0) {
        end();
        return;
    }
    qsizetype start = 0;
    if (skipping_) {
        // The rest of an oversized message: dropped up to its end.
        const qsizetype nul = incoming_.indexOf('\0');
        if (nul < 0) {
            incoming_.clear();
            return;
        }
        const QByteArray head = *std::exchange(skipping_, std::nullopt);
        start = nul + 1;
        searched_ = 0;
        Q_EMIT oversized(head);
        if (ended_)
            return;
    }
    for (;;) {
        const qsizetype nul = incoming_.indexOf('\0', std::max(start, searched_));
        if (nul < 0)
            break;
        const QByteArray one = incoming_.mid(start, nul - start);
        start = nul + 1;
        Q_EMIT message(one);
        if (ended_)
            return;
    }
    incoming_.remove(0, start);
    searched_ = incoming_.size();
    if (incoming_.size() > messageLimit) {
        // Never a reason to end: only this one message is lost.
        skipping_ = incoming_.left(oversizedHeadLimit);
        incoming_.clear();
        searched_ = 0;
    }
}

void PipeChannel::end()
{
    if (ended_)
        return;
    ended_ = true;
    readable_->setEnabled(false);
    writable_->setEnabled(false);
    Q_EMIT ended();
}

} // namespace corvane
