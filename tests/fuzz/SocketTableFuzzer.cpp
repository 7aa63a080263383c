// A line of /proc/net/tcp(6) and the two ends looked for in it: an owner is
// found only on the line of exactly those ends, and never for a socket its
// owner has closed (no inode).

#include "FuzzSupport.h"

#include "PeerUser.h"

#include <QList>

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QList<QByteArray> parts = input.split('|');
    if (parts.size() < 3)
        return 0;
    const QByteArray &line = parts[0];
    const std::optional<uint> owner = platform::ownerInTableLine(line, parts[1], parts[2]);
    if (owner) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        fuzz::require(fields.size() >= 10 && fields.at(1) == parts[1] && fields.at(2) == parts[2],
                      "an owner only on the line of both ends");
        fuzz::require(fields.at(9).toULongLong() != 0, "never for a socket without an inode");
        fuzz::require(fields.at(7).toUInt() == *owner, "the owner is the uid column");
    }
    return 0;
}
