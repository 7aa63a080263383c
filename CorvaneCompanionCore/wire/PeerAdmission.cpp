#include "wire/PeerAdmission.h"

#include "PeerUser.h"

namespace corvane {

PeerAdmission admissionOf(qintptr socketDescriptor)
{
    const std::optional<uint> owner = platform::socketPeerUser(socketDescriptor);
    if (!owner)
        return PeerAdmission::unknown;
    return *owner == platform::currentUser() ? PeerAdmission::own : PeerAdmission::otherUser;
}

QString refusalReason(PeerAdmission admission)
{
    return admission == PeerAdmission::otherUser ? QStringLiteral("user") : QStringLiteral("unknown");
}

} // namespace corvane
