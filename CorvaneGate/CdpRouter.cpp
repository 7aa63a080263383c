#include "gate/CdpRouter.h"

#include "gate/CdpEnvelope.h"

#include <QJsonDocument>
#include <QRegularExpression>

#include <cmath>

namespace corvane {

namespace {

const QString idKey = QStringLiteral("id");
const QString methodKey = QStringLiteral("method");
const QString paramsKey = QStringLiteral("params");
const QString resultKey = QStringLiteral("result");
const QString sessionKey = QStringLiteral("sessionId");

// Larger numbers are not all whole in a double, and cannot be converted safely.
constexpr double maxExactInteger = 9007199254740992.0;

QByteArray bytesOf(const QJsonObject &message)
{
    return QJsonDocument(message).toJson(QJsonDocument::Compact);
}

// Events that change which client holds which session.
bool changesSessions(const QByteArray &method)
{
    return method == "Target.attachedToTarget" || method == "Target.detachedFromTarget";
}

QJsonObject detach(const QString &session)
{
    return {{methodKey, QStringLiteral("Target.detachFromTarget")}, {paramsKey, QJsonObject {{sessionKey, session}}}};
}

} // namespace

qint64 CdpRouter::send(Effects &effects, QJsonObject message, Pending pending)
{
    const qint64 id = nextId_++;
    message.insert(idKey, id);
    effects.toChrome.append(bytesOf(message));
    pending_.emplace(id, std::move(pending));
    return id;
}

CdpRouter::Effects CdpRouter::prepare()
{
    Effects effects;
    if (!versionAsked_) {
        versionAsked_ = true;
        send(effects, {{methodKey, QStringLiteral("Browser.getVersion")}},
             Pending {Pending::Kind::own, 0, {}, {}, [this](const QJsonObject &message) {
                          version_ = message.value(resultKey).toObject();
                          versionAsked_ = !version_.isEmpty();
                      }});
    }
    if (spare_.isEmpty() && !preparing_) {
        preparing_ = true;
        send(effects, {{methodKey, QStringLiteral("Target.attachToBrowserTarget")}},
             Pending {Pending::Kind::spare, 0, {}, {}, {}});
    }
    return effects;
}

CdpRouter::Effects CdpRouter::open(Client client, const std::optional<QString> &pageTarget)
{
    Effects effects;
    clients_.insert(client, ClientState {});
    if (!pageTarget && !spare_.isEmpty()) {
        const QString root = std::exchange(spare_, QString());
        clients_[client].root = root;
        roots_.insert(root, client);
        return prepare();
    }
    QJsonObject attach;
    if (pageTarget) {
        attach
            = {{methodKey, QStringLiteral("Target.attachToTarget")},
               {paramsKey, QJsonObject {{QStringLiteral("targetId"), *pageTarget}, {QStringLiteral("flatten"), true}}}};
    } else {
        attach = {{methodKey, QStringLiteral("Target.attachToBrowserTarget")}};
    }
    send(effects, attach, Pending {Pending::Kind::attach, client, {}, {}, {}});
    return effects;
}

CdpRouter::Effects CdpRouter::call(const QString &method, const QJsonObject &params, Reply done)
{
    Effects effects;
    QJsonObject message {{methodKey, method}};
    if (!params.isEmpty())
        message.insert(paramsKey, params);
    send(effects, message, Pending {Pending::Kind::own, 0, {}, {}, std::move(done)});
    return effects;
}

CdpRouter::Effects CdpRouter::fromClient(Client client, const QByteArray &bytes)
{
    Effects effects;
    const auto state = clients_.find(client);
    if (state == clients_.end())
        return effects;
    const QJsonObject message = QJsonDocument::fromJson(bytes).object();
    // Without a numeric id and a method nothing could be answered: Chrome
    // closes such a client too.
    if (!message.value(idKey).isDouble() || !message.value(methodKey).isString()) {
        drop(effects, client);
        return effects;
    }
    if (state->root.isEmpty()) {
        if (state->queued.size() >= queuedLimit)
            drop(effects, client);
        else
            state->queued.append(message);
        return effects;
    }
    forward(effects, client, message);
    return effects;
}

void CdpRouter::forward(Effects &effects, Client client, QJsonObject message)
{
    ClientState &state = clients_[client];
    const QJsonValue id = message.value(idKey);
    const QJsonValue session = message.value(sessionKey);
    if (session.isUndefined() && !version_.isEmpty()
        && message.value(methodKey) == QLatin1String("Browser.getVersion")) {
        effects.toClients.append({client, bytesOf({{idKey, id}, {resultKey, version_}})});
        return;
    }
    if (session.isUndefined()) {
        message.insert(sessionKey, state.root);
    } else if (!session.isString() || !state.sessions.contains(session.toString())) {
        // Another client's session, or none at all: answered as Chrome
        // answers an unknown one, and never passed on.
        QJsonObject answer {{idKey, id},
                            {QStringLiteral("error"),
                             QJsonObject {{QStringLiteral("code"), -32001},
                                          {QStringLiteral("message"),
                                           QStringLiteral("Session with given id not found.")}}}};
        if (session.isString())
            answer.insert(sessionKey, session);
        effects.toClients.append({client, bytesOf(answer)});
        return;
    }
    if (state.pending >= pendingLimit) {
        drop(effects, client);
        return;
    }
    ++state.pending;
    const QString method = message.value(methodKey).toString();
    const bool attaches
        = method == QLatin1String("Target.attachToTarget") || method == QLatin1String("Target.attachToBrowserTarget");
    send(effects, message, Pending {Pending::Kind::forward, client, id, session, {}, attaches});
}

void CdpRouter::adopt(Client client, const QString &session)
{
    const auto state = clients_.find(client);
    if (session.isEmpty() || state == clients_.end() || session == state->root)
        return;
    state->sessions.insert(session);
    owners_.insert(session, client);
}

void CdpRouter::forget(const QString &session)
{
    const auto owner = owners_.find(session);
    if (owner == owners_.end())
        return;
    if (const auto state = clients_.find(*owner); state != clients_.end())
        state->sessions.remove(session);
    owners_.erase(owner);
}

CdpRouter::Effects CdpRouter::fromChrome(const QByteArray &bytes)
{
    Effects effects;
    if (!passOn(effects, bytes)) {
        const QJsonDocument document = QJsonDocument::fromJson(bytes);
        if (document.isObject())
            fromChromeParsed(effects, document.object());
    }
    return effects;
}

bool CdpRouter::passOn(Effects &effects, const QByteArray &bytes)
{
    const std::optional<CdpEnvelope> envelope = cdpEnvelope(bytes);
    if (!envelope)
        return false;
    if (envelope->id) {
        const auto found = pending_.constFind(*envelope->id);
        if (found == pending_.constEnd() || found->kind != Pending::Kind::forward || found->attaches
            || !found->id.isDouble())
            return false;
        const double original = found->id.toDouble();
        // Only a whole number the envelope can write back as it came.
        if (!(std::abs(original) <= maxExactInteger) || original != std::trunc(original))
            return false;
        const Client client = found->client;
        pending_.erase(found);
        const auto state = clients_.find(client);
        if (state == clients_.end())
            return true;
        --state->pending;
        const bool onRoot = !envelope->session.isEmpty() && envelope->session == state->root.toLatin1();
        effects.toClients.append({client, envelope->rewritten(bytes, static_cast<qint64>(original), onRoot)});
        return true;
    }
    if (changesSessions(envelope->method) || envelope->session.isEmpty())
        return false;
    const QString session = QString::fromLatin1(envelope->session);
    if (const auto root = roots_.constFind(session); root != roots_.constEnd())
        effects.toClients.append({*root, envelope->rewritten(bytes, std::nullopt, true)});
    else if (const auto owner = owners_.constFind(session); owner != owners_.constEnd())
        effects.toClients.append({*owner, bytes});
    return true;
}

void CdpRouter::fromChromeParsed(Effects &effects, const QJsonObject &message)
{
    const QString session = message.value(sessionKey).toString();
    const QJsonValue idValue = message.value(idKey);
    if (idValue.isDouble()) {
        const auto found = pending_.find(idValue.toInteger());
        if (found == pending_.end())
            return;
        const Pending pending = *found;
        pending_.erase(found);
        switch (pending.kind) {
        case Pending::Kind::own:
            if (pending.done)
                pending.done(message);
            break;
        case Pending::Kind::spare:
            preparing_ = false;
            spare_ = message.value(resultKey).toObject().value(sessionKey).toString();
            break;
        case Pending::Kind::attach: {
            const auto state = clients_.find(pending.client);
            if (state == clients_.end()) {
                // It left before its session came: let the session go too.
                const QString late = message.value(resultKey).toObject().value(sessionKey).toString();
                if (!late.isEmpty())
                    send(effects, detach(late), Pending {Pending::Kind::own, 0, {}, {}, {}});
                break;
            }
            const QString root = message.value(resultKey).toObject().value(sessionKey).toString();
            if (root.isEmpty()) {
                drop(effects, pending.client);
                break;
            }
            state->root = root;
            roots_.insert(root, pending.client);
            const QList<QJsonObject> queued = std::exchange(state->queued, {});
            for (const QJsonObject &early : queued)
                forward(effects, pending.client, early);
            break;
        }
        case Pending::Kind::forward: {
            const auto state = clients_.find(pending.client);
            if (state == clients_.end())
                break;
            --state->pending;
            QJsonObject answer = message;
            answer.insert(idKey, pending.id);
            if (session == state->root)
                answer.remove(sessionKey);
            // A session the client attached by asking for it.
            adopt(pending.client, answer.value(resultKey).toObject().value(sessionKey).toString());
            effects.toClients.append({pending.client, bytesOf(answer)});
            break;
        }
        }
        return;
    }

    // An event: it goes to the client whose session it came on. The
    // connection's own events are the gate's and go nowhere.
    std::optional<Client> to;
    bool onRoot = false;
    if (const auto root = roots_.find(session); root != roots_.end()) {
        to = *root;
        onRoot = true;
    } else if (const auto owner = owners_.find(session); owner != owners_.end()) {
        to = *owner;
    }
    const QString method = message.value(methodKey).toString();
    const QString named = message.value(paramsKey).toObject().value(sessionKey).toString();
    if (!to) {
        // A client's root session ended (its page closed, Chrome let it go).
        if (method == QLatin1String("Target.detachedFromTarget") && roots_.contains(named))
            drop(effects, roots_.value(named));
        return;
    }
    if (method == QLatin1String("Target.attachedToTarget"))
        adopt(*to, named);
    QJsonObject event = message;
    if (onRoot)
        event.remove(sessionKey);
    effects.toClients.append({*to, bytesOf(event)});
    if (method == QLatin1String("Target.detachedFromTarget"))
        forget(named);
}

void CdpRouter::drop(Effects &effects, Client client)
{
    const Effects gone = closed(client);
    effects.toChrome.append(gone.toChrome);
    effects.close.append(client);
}

CdpRouter::Effects CdpRouter::closed(Client client)
{
    Effects effects;
    const auto state = clients_.find(client);
    if (state == clients_.end())
        return effects;
    const ClientState left = *state;
    clients_.erase(state);
    for (const QString &session : left.sessions) {
        owners_.remove(session);
        send(effects, detach(session), Pending {Pending::Kind::own, 0, {}, {}, {}});
    }
    if (!left.root.isEmpty()) {
        roots_.remove(left.root);
        send(effects, detach(left.root), Pending {Pending::Kind::own, 0, {}, {}, {}});
    }
    // Replies still due to it are dropped as they come.
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->kind == Pending::Kind::forward && it->client == client)
            it = pending_.erase(it);
        else
            ++it;
    }
    return effects;
}

CdpRouter::Effects CdpRouter::oversizedFromChrome(const QByteArray &head)
{
    Effects effects;
    // Chrome writes a reply's id first; an event has none and is lost.
    static const QRegularExpression replyId(QStringLiteral("^\\{\"id\":(\\d{1,15})[,}]"));
    const QRegularExpressionMatch match = replyId.match(QString::fromLatin1(head.left(64)));
    const auto found = match.hasMatch() ? pending_.find(match.captured(1).toLongLong()) : pending_.end();
    if (found == pending_.end())
        return effects;
    const Pending pending = *found;
    pending_.erase(found);
    const QJsonObject error {{QStringLiteral("code"), -32000},
                             {QStringLiteral("message"),
                              QStringLiteral("Chrome's answer was larger than the gate passes on.")}};
    switch (pending.kind) {
    case Pending::Kind::own:
        if (pending.done)
            pending.done({{QStringLiteral("error"), error}});
        break;
    case Pending::Kind::spare:
        preparing_ = false;
        break;
    case Pending::Kind::attach:
        drop(effects, pending.client);
        break;
    case Pending::Kind::forward: {
        const auto state = clients_.find(pending.client);
        if (state == clients_.end())
            break;
        --state->pending;
        QJsonObject answer {{idKey, pending.id}, {QStringLiteral("error"), error}};
        if (pending.session.isString())
            answer.insert(sessionKey, pending.session);
        effects.toClients.append({pending.client, bytesOf(answer)});
        break;
    }
    }
    return effects;
}

} // namespace corvane
