#pragma once

// Options on a TCP connection that a library made and does not hand out.

#include <QHostAddress>

namespace corvane::platform {

// Makes the system end our connection between those two ends once the
// peer has not acknowledged anything for `seconds` (sent data, or keep-alive
// probes while the connection is quiet), so a peer that vanished without a
// word (sleep, a changed network) is noticed in that time rather than after
// the system's quarter of an hour. False when no such connection was found.
// Closes a connection that was accepted but is not to be served.
void closeAccepted(qintptr socketDescriptor);

bool endConnectionAfterSilentPeer(const QHostAddress &localAddress, quint16 localPort, const QHostAddress &peerAddress,
                                  quint16 peerPort, int seconds);

} // namespace corvane::platform
