#pragma once

// Many DevTools clients over the one connection a piped Chrome has. Each
// client gets a browser session (or a page session) of its own, so Chrome
// keeps what one client switched on (auto-attach, target discovery) apart
// from another's; its message ids are renumbered so replies find their way
// back, and the sessions it attached are detached when it leaves.

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

namespace corvane {

class CdpRouter {
public:
    using Client = quint64;
    using Reply = std::function<void(const QJsonObject &message)>;

    // What one step asks the gate to do, in order: whole messages.
    struct Effects {
        QList<QByteArray> toChrome;
        QList<std::pair<Client, QByteArray>> toClients;
        // Clients to close: their browser or page session is gone, or they
        // broke the protocol or its bounds.
        QList<Client> close;
    };

    // Messages a client may have waiting before its session is attached.
    static constexpr int queuedLimit = 1024;
    // Calls of one client that Chrome has not answered yet.
    static constexpr int pendingLimit = 4096;

    // A browser session made ready ahead of the next client, which then
    // starts without waiting for Chrome; again after each such start. The
    // first time, Chrome's version is asked for as well.
    Effects prepare();
    // Chrome's answer to Browser.getVersion, once known: it never changes,
    // and every run of a tool asks for it, so the gate answers it itself.
    const QJsonObject &version() const { return version_; }
    // A client arrived for the browser (no target) or for one page target.
    Effects open(Client client, const std::optional<QString> &pageTarget = std::nullopt);
    Effects fromClient(Client client, const QByteArray &message);
    Effects fromChrome(const QByteArray &message);
    // A message of Chrome's too large to pass on went by; `head` is its
    // beginning. The call it answers fails with an error; an event is lost.
    Effects oversizedFromChrome(const QByteArray &head);
    // The client left: its sessions are detached, late replies dropped.
    Effects closed(Client client);
    // A call of the gate's own on the browser; `done` gets Chrome's answer.
    Effects call(const QString &method, const QJsonObject &params, Reply done);

    int clients() const { return static_cast<int>(clients_.size()); }
    // Sessions the clients hold besides their own; for tests.
    int childSessions() const { return static_cast<int>(owners_.size()); }

private:
    struct ClientState {
        QString root; // its browser or page session, once attached
        QList<QJsonObject> queued; // what came before that
        QSet<QString> sessions; // sessions attached through it
        int pending = 0;
    };
    struct Pending {
        enum class Kind { forward, attach, spare, own } kind = Kind::forward;
        Client client = 0;
        QJsonValue id; // the client's own id
        QJsonValue session; // the session the client named, if any
        Reply done;
        bool attaches = false; // the client asked for a session of its own
    };

    qint64 send(Effects &effects, QJsonObject message, Pending pending);
    void forward(Effects &effects, Client client, QJsonObject message);
    // Replies and events whose envelope says all the routing needs.
    bool passOn(Effects &effects, const QByteArray &message);
    void fromChromeParsed(Effects &effects, const QJsonObject &message);
    void adopt(Client client, const QString &session);
    void forget(const QString &session);
    void drop(Effects &effects, Client client);

    QHash<Client, ClientState> clients_;
    QHash<QString, Client> roots_; // root session -> its client
    QHash<QString, Client> owners_; // other sessions -> the client that attached them
    QHash<qint64, Pending> pending_;
    QString spare_; // a browser session no client holds yet
    bool preparing_ = false;
    QJsonObject version_;
    bool versionAsked_ = false;
    qint64 nextId_ = 1;
};

} // namespace corvane
