#pragma once

// Only the user's own programs are served, by the local server and the gate
// alike: a connection is let in when its peer runs as this account.

#include <QString>
#include <QtGlobal>

namespace corvane {

enum class PeerAdmission {
    own,
    otherUser,
    unknown, // the system cannot name the owner (it closed the connection already)
};

PeerAdmission admissionOf(qintptr socketDescriptor);
// The reason word of a turned-away peer in the reject events.
QString refusalReason(PeerAdmission admission);

} // namespace corvane
