// The stored link read from any file bytes.

#include "FuzzSupport.h"

#include "link/LinkStore.h"

#include <QByteArray>

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::optional<CompanionLink> link
        = linkFromFileBytes(QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)));
    if (link) {
        fuzz::require(!link->host.isEmpty() && !link->token.isEmpty(), "a link has a host and a token");
        link->connectURL();
        link->socketURL();
        chatHostLabel(link->host);
    }
    return 0;
}
