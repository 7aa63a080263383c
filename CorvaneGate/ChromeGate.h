#pragma once

// The gate in front of the companion's own Chrome. Chrome speaks its
// debugging protocol only on a pipe to the gate; the gate serves that
// protocol on 127.0.0.1 at the port the launch chose (the version and target
// lists over HTTP, and WebSocket sessions), to the user's own programs only.
// Another account's connection is closed before a byte is read, and a web
// page's request is refused, exactly as the local server does. The gate
// lives as long as its Chrome: the pipe closing on either side ends both.
//
// What the gate does with faults, so that no input ends it:
// - it ends only when Chrome's pipe ends (read or write fails, or closes);
// - a message of Chrome's past PipeChannel::messageLimit is dropped: the
//   call it answers gets an error reply, an event is lost ("gate.drop",
//   reason size);
// - a call on a session the client does not hold gets Chrome's own error
//   and is never passed on;
// - a client is closed when it breaks the protocol (no numeric id or no
//   method), has more than CdpRouter::queuedLimit messages waiting for its
//   session or CdpRouter::pendingLimit calls unanswered, sends a message past
//   clientMessageLimit, or lets more than clientBacklogLimit wait unread
//   ("gate.drop", reason behind), or while Chrome's pipe has more than
//   PipeChannel::messageLimit waiting;
// - a connection is refused for another account, a web page, a slow or
//   oversized head, too many waiting heads or clients ("gate.reject").

#include <QString>
#include <QtGlobal>

#include <memory>

namespace corvane {

class PipeChannel;

// How the gate's start ended, as its exit code to the launcher.
enum class GateStart {
    started = 0,
    chromeDidNotStart = 1, // also: the gate itself ended before it could say
    portTaken = 2,
    badArguments = 3,
};

class ChromeGate {
public:
    static constexpr int clientLimit = 16;
    static constexpr int waitingLimit = 32; // connections still sending their head
    static constexpr double headWait = 10.0;
    static constexpr double chromeAnswerWait = 10.0;
    // What one client may send in one message; Chrome takes far less.
    static constexpr qint64 clientMessageLimit = 64 * 1024 * 1024;
    // What may wait to be written to one client; past it the client goes.
    static constexpr qint64 clientBacklogLimit = 32 * 1024 * 1024;

    explicit ChromeGate(quint16 port);
    ~ChromeGate();
    ChromeGate(const ChromeGate &) = delete;
    ChromeGate &operator=(const ChromeGate &) = delete;

    // Empty when listening on 127.0.0.1 at the port; why not otherwise.
    QString listen();
    // From now on the protocol goes to and from Chrome on `pipe` (taken over);
    // `ended` is called once when Chrome is gone.
    void attach(PipeChannel *pipe, std::function<void()> ended);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// The gate as a program: `arguments` are the Chrome executable and its launch
// arguments, one of them --remote-debugging-port=P, which Chrome gets as
// --remote-debugging-pipe. Call it first thing in main, before any Qt object
// exists: it turns the process into a background one, and the launcher waits
// only for the GateStart code. Returns when Chrome is gone.
int runChromeGate(int argc, char **argv);

} // namespace corvane
