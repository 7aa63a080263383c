#pragma once

// The state of the chat link as the code compares it: how one socket
// connection ended, and the application's phase. They become the system's
// words only where they are logged, written to the status file or shown.

#include <QString>

#include <optional>

namespace corvane {

// What runSocket returns when its connection ends.
enum class LoopResult {
    badHost, // the link has no socket address; nothing was opened
    closed, // the connection failed or was refused, or a message was bad
    refresh, // the service asked for a new connection, or one was due
    waiting, // the service has not approved the link yet
    idle, // the link file no longer holds the connection's link
};

enum class LinkPhase {
    off, // no loop is meant to run
    connecting, // a connection is being opened; nothing is connected yet
    idle, // a handshake completed: connected, waiting for jobs
    socketDown, // the loop ended after a failed connection
    waiting, // the loop ended with these results
    refresh,
    badHost,
};

QString loopResultWord(LoopResult result);
QString phaseWord(LinkPhase phase);
// The phase a written word names (the status file's); none for any other.
std::optional<LinkPhase> phaseFromWord(const QString &word);

} // namespace corvane
