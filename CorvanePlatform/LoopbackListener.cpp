#include "LoopbackListener.h"

#include "Dispatch.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QTcpServer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <list>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::platform {

namespace {

constexpr int acceptPauseMs = 100;
// Descriptors ran out: this many idle connections make room at once, so a
// quick client queued behind them is reached within a few pauses. Only
// connections that have kept silent this long count as idle then.
constexpr int evictedOnAcceptError = 32;
constexpr double idleAge = 1.0;
// Descriptors a connection's handler and the rest of the program need beside
// the connections themselves (the peer's user is asked through one, the log
// opens one, a tool run takes a few).
constexpr int descriptorReserve = 64;
constexpr double closeDrainSeconds = 2.0;
constexpr qint64 closeDrainBytes = 256 * 1024;

int pollMilliseconds(double seconds)
{
    return static_cast<int>(std::clamp(std::ceil(seconds * 1000.0), 0.0, 2.0e9));
}

// The open connections in the order they were accepted. Slots add and remove
// themselves; the listener looks here for room.
struct Registry {
    std::mutex mutex;
    std::list<ConnectionSlot *> open;
    std::condition_variable closed; // a connection ended
    int evictedOpen = 0;
    std::function<void()> freed; // set while the listener lives
};

} // namespace

struct ConnectionSlot {
    ConnectionSlot(std::shared_ptr<Registry> registry, int descriptor)
        : registry(std::move(registry))
        , fd(descriptor)
        , acceptedAt(monotonicSeconds())
    {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        std::lock_guard lock(this->registry->mutex);
        place = this->registry->open.insert(this->registry->open.end(), this);
    }

    ~ConnectionSlot()
    {
        std::lock_guard lock(registry->mutex);
        registry->open.erase(place);
        if (evicted)
            --registry->evictedOpen;
        // Closed under the lock, so an eviction never shuts a reused number.
        ::close(fd);
        if (registry->freed)
            registry->freed();
        registry->closed.notify_all();
    }

    // Called with the registry locked.
    void evict()
    {
        evicted = true;
        ++registry->evictedOpen;
        ::shutdown(fd, SHUT_RDWR);
    }

    std::shared_ptr<Registry> registry;
    const int fd;
    const double acceptedAt;
    std::list<ConnectionSlot *>::iterator place;
    bool claimed = false; // these two under the registry's lock
    bool evicted = false;
};

namespace {

// Closes up to `count` of the oldest connections still waiting for their
// request and open at least `minimumAge` seconds; false when none was.
bool evictOldest(Registry &registry, int count = 1, double minimumAge = 0.0)
{
    int evicted = 0;
    const double bornBefore = monotonicSeconds() - minimumAge;
    for (ConnectionSlot *slot : registry.open) {
        if (evicted == count || slot->acceptedAt > bornBefore)
            break; // the list is in accept order
        if (!slot->claimed && !slot->evicted) {
            slot->evict();
            ++evicted;
        }
    }
    return evicted > 0;
}

class HandingServer : public QTcpServer {
public:
    HandingServer(LoopbackListener::ConnectionHandler handler, LoopbackListener::Admission admit,
                  std::shared_ptr<Registry> registry, int maxConnections)
        : handler_(std::move(handler))
        , admit_(std::move(admit))
        , registry_(std::move(registry))
        , max_(maxConnections)
    {
    }

protected:
    void incomingConnection(qintptr socketDescriptor) override
    {
        const int fd = static_cast<int>(socketDescriptor);
        if (admit_ && !admit_(socketDescriptor)) {
            ::close(fd);
            return;
        }
        {
            std::lock_guard lock(registry_->mutex);
            const int served = static_cast<int>(registry_->open.size()) - registry_->evictedOpen;
            const bool room = served < max_ || evictOldest(*registry_);
            // Evicted connections end at once; this bounds them all the same.
            if (!room || static_cast<int>(registry_->open.size()) >= 2 * max_) {
                ::close(fd);
                pauseAccepting(); // until a connection ends; the kernel queues the rest
                return;
            }
        }
        auto slot = std::make_shared<ConnectionSlot>(registry_, fd);
        // A thread that cannot start drops the slot with the work, which
        // closes the connection.
        runInBackground([handler = handler_, slot]() mutable {
            LoopbackConnection connection(std::move(slot));
            handler(connection);
        });
    }

private:
    LoopbackListener::ConnectionHandler handler_;
    LoopbackListener::Admission admit_;
    std::shared_ptr<Registry> registry_;
    int max_;
};

} // namespace

LoopbackConnection::LoopbackConnection(std::shared_ptr<ConnectionSlot> slot)
    : slot_(std::move(slot))
{
}

LoopbackConnection::~LoopbackConnection()
{
    if (!evicted()) {
        // Let the peer read the reply: end our side, then take what it still
        // sends until it closes too, so the close never turns into a reset.
        ::shutdown(slot_->fd, SHUT_WR);
        const double deadline = monotonicSeconds() + closeDrainSeconds;
        qint64 drained = 0;
        for (;;) {
            const Read rest = read(deadline - monotonicSeconds(), 64 * 1024);
            drained += rest.bytes.size();
            if (rest.end != ReadEnd::data || drained > closeDrainBytes)
                break;
        }
    }
}

qintptr LoopbackConnection::descriptor() const
{
    return slot_->fd;
}

LoopbackConnection::Read LoopbackConnection::read(double seconds, qint64 most)
{
    const double deadline = monotonicSeconds() + seconds;
    QByteArray buffer(static_cast<qsizetype>(std::max<qint64>(most, 1)), Qt::Uninitialized);
    for (;;) {
        pollfd waiting {slot_->fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, pollMilliseconds(deadline - monotonicSeconds()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return {ReadEnd::quiet, {}};
        if (ready < 0)
            return {ReadEnd::closed, {}};
        const ssize_t got = ::recv(slot_->fd, buffer.data(), static_cast<size_t>(buffer.size()), 0);
        if (got > 0 && !evicted()) {
            buffer.truncate(got);
            return {ReadEnd::data, buffer};
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        return {ReadEnd::closed, {}};
    }
}

bool LoopbackConnection::write(const QByteArray &bytes, double seconds)
{
    const double deadline = monotonicSeconds() + seconds;
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const double left = deadline - monotonicSeconds();
        if (left <= 0)
            return false;
        pollfd waiting {slot_->fd, POLLOUT, 0};
        const int ready = ::poll(&waiting, 1, pollMilliseconds(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t put
            = ::send(slot_->fd, bytes.constData() + sent, static_cast<size_t>(bytes.size() - sent), MSG_NOSIGNAL);
        if (put > 0)
            sent += put;
        else if (put < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
    }
    return true;
}

bool LoopbackConnection::claim()
{
    std::lock_guard lock(slot_->registry->mutex);
    if (slot_->evicted)
        return false;
    slot_->claimed = true;
    return true;
}

bool LoopbackConnection::evicted() const
{
    std::lock_guard lock(slot_->registry->mutex);
    return slot_->evicted;
}

struct LoopbackListener::Worker {
    ConnectionHandler handler;
    AcceptErrorHandler acceptError;
    Admission admit;
    int maxConnections = defaultMaxConnections;
    std::shared_ptr<Registry> registry = std::make_shared<Registry>();
    QThread thread;
    QObject context; // lives on `thread`; every server is made and dropped there
    std::vector<std::unique_ptr<HandingServer>> servers; // touched only on `thread`
    int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC); // kept for when descriptors run out
    std::atomic<int> acceptFailures {0};

    ~Worker()
    {
        if (spare >= 0)
            ::close(spare);
    }

    // Runs `work` on the listener's thread and waits for it.
    void onThread(const std::function<void()> &work)
    {
        QMetaObject::invokeMethod(&context, work, Qt::BlockingQueuedConnection);
    }

    void resumeAll()
    {
        for (const auto &server : servers)
            server->resumeAccepting();
    }

    std::unique_ptr<HandingServer> makeServer()
    {
        auto server = std::make_unique<HandingServer>(handler, admit, registry, maxConnections);
        HandingServer *raw = server.get();
        // Qt stops accepting for good after such an error; we make room and
        // try again shortly. The error is told after the pause, when the
        // closed connections have given their descriptors back (the log
        // needs one too).
        QObject::connect(raw, &QTcpServer::acceptError, raw, [this, raw](QAbstractSocket::SocketError) {
            ++acceptFailures;
            {
                std::lock_guard lock(registry->mutex);
                evictOldest(*registry, evictedOnAcceptError, idleAge);
            }
            QTimer::singleShot(acceptPauseMs, raw, [this, raw, error = raw->errorString()] {
                if (acceptError) {
                    // Telling it may need a descriptor of its own.
                    if (spare >= 0)
                        ::close(spare);
                    acceptError(error);
                    spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                }
                raw->resumeAccepting();
            });
        });
        return server;
    }

    QString listen(quint16 port)
    {
        servers.clear();
        auto ipv4 = makeServer();
        if (!ipv4->listen(QHostAddress::LocalHost, port))
            return ipv4->errorString();
        servers.push_back(std::move(ipv4));
        // ::1 is a courtesy for clients that resolve "localhost" to it; a
        // machine without IPv6 is served on 127.0.0.1 alone.
        auto ipv6 = makeServer();
        if (ipv6->listen(QHostAddress::LocalHostIPv6, servers.front()->serverPort()))
            servers.push_back(std::move(ipv6));
        return {};
    }
};

LoopbackListener::LoopbackListener(ConnectionHandler handler, AcceptErrorHandler acceptError, Admission admit,
                                   int maxConnections)
    : worker_(std::make_unique<Worker>())
{
    worker_->handler = std::move(handler);
    worker_->acceptError = std::move(acceptError);
    worker_->admit = std::move(admit);
    // Never so many that the connections alone use up the descriptors.
    rlimit descriptors {};
    if (::getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY)
        maxConnections
            = std::min<qint64>(maxConnections, static_cast<qint64>(descriptors.rlim_cur) - descriptorReserve);
    worker_->maxConnections = std::max(maxConnections, 16);
    worker_->thread.setObjectName(QStringLiteral("loopback-listener"));
    worker_->context.moveToThread(&worker_->thread);
    worker_->thread.start();
    Worker *worker = worker_.get();
    std::lock_guard lock(worker_->registry->mutex);
    worker_->registry->freed = [worker] {
        QMetaObject::invokeMethod(
            &worker->context, [worker] { worker->resumeAll(); }, Qt::QueuedConnection);
    };
}

LoopbackListener::~LoopbackListener()
{
    {
        std::lock_guard lock(worker_->registry->mutex);
        worker_->registry->freed = nullptr;
    }
    close();
    worker_->thread.quit();
    worker_->thread.wait();
}

QString LoopbackListener::listen(quint16 port)
{
    QString error;
    worker_->onThread([&] { error = worker_->listen(port); });
    return error;
}

void LoopbackListener::close()
{
    worker_->onThread([&] { worker_->servers.clear(); });
}

void LoopbackListener::finish()
{
    close();
    Registry &registry = *worker_->registry;
    std::unique_lock lock(registry.mutex);
    for (ConnectionSlot *slot : registry.open) {
        if (!slot->claimed && !slot->evicted)
            slot->evict();
    }
    registry.closed.wait(lock, [&registry] { return registry.open.empty(); });
}

quint16 LoopbackListener::port() const
{
    quint16 port = 0;
    worker_->onThread([&] {
        if (!worker_->servers.empty())
            port = worker_->servers.front()->serverPort();
    });
    return port;
}

int LoopbackListener::acceptFailures() const
{
    return worker_->acceptFailures;
}

int LoopbackListener::openConnections() const
{
    std::lock_guard lock(worker_->registry->mutex);
    return static_cast<int>(worker_->registry->open.size());
}

} // namespace corvane::platform
