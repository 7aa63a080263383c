// The gate's router, driven by clients and by Chrome at once: a run of
// steps (a client arrives, leaves or sends a message; Chrome answers, sends
// an event or an answer too large to pass on). Whatever comes, it sends
// Chrome only calls of its own numbering and clients only what is theirs.

#include "FuzzSupport.h"

#include "gate/CdpRouter.h"

#include <QJsonDocument>
#include <QSet>

using namespace corvane;

namespace {

void check(const CdpRouter::Effects &effects, const QSet<CdpRouter::Client> &open)
{
    for (const QByteArray &message : effects.toChrome) {
        const QJsonObject call = QJsonDocument::fromJson(message).object();
        fuzz::require(call.value(QStringLiteral("id")).isDouble() && call.value(QStringLiteral("method")).isString(),
                      "Chrome gets whole calls with an id of the gate's");
    }
    for (const auto &[client, message] : effects.toClients)
        fuzz::require(open.contains(client) && !message.isEmpty(), "clients get messages only while they are there");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    CdpRouter router;
    QSet<CdpRouter::Client> open;
    router.prepare();
    size_t at = 0;
    while (at + 3 <= size) {
        const uint8_t step = data[at] % 6;
        const CdpRouter::Client client = data[at + 1] % 4;
        const size_t length = std::min<size_t>(data[at + 2], size - at - 3);
        const QByteArray payload(reinterpret_cast<const char *>(data + at + 3), static_cast<qsizetype>(length));
        at += 3 + length;
        CdpRouter::Effects effects;
        switch (step) {
        case 0:
            if (!open.contains(client)) {
                open.insert(client);
                effects = router.open(client,
                                      payload.isEmpty() ? std::nullopt
                                                        : std::optional(QString::fromLatin1(payload.toHex())));
            }
            break;
        case 1:
            effects = router.fromClient(client, payload);
            break;
        case 2:
        case 3:
            effects = router.fromChrome(payload);
            break;
        case 4:
            effects = router.oversizedFromChrome(payload);
            break;
        case 5:
            if (open.remove(client))
                effects = router.closed(client);
            break;
        }
        check(effects, open);
        for (const CdpRouter::Client closed : effects.close)
            open.remove(closed);
        fuzz::require(router.clients() <= open.size(), "a client that went is gone");
    }
    return 0;
}
