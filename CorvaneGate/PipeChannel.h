#pragma once

// Chrome's debugging protocol on two pipes: JSON messages, each ended by a
// NUL byte. Reads as bytes arrive and writes without ever blocking the
// gate's one thread.

#include <QByteArray>
#include <QObject>

#include <optional>

class QSocketNotifier;

namespace corvane {

class PipeChannel : public QObject {
    Q_OBJECT
public:
    // Chrome's messages can be large (a whole page's screenshot); one past
    // this is not kept: its first bytes are told as `oversized`, the rest is
    // read and dropped, and the channel goes on with the next message.
    static constexpr qsizetype messageLimit = 64 * 1024 * 1024;
    // How much of an oversized message is kept: enough for its envelope.
    static constexpr qsizetype oversizedHeadLimit = 4096;

    // Takes both descriptors over.
    PipeChannel(int readFrom, int writeTo, QObject *parent = nullptr);
    ~PipeChannel() override;

    void send(const QByteArray &message);
    // Bytes written to the channel and not yet taken by the pipe.
    qsizetype backlog() const { return outgoing_.size() - written_; }

Q_SIGNALS:
    void message(const QByteArray &message);
    // A message past messageLimit went by: its first bytes.
    void oversized(const QByteArray &head);
    // The other end closed, or the pipe broke: Chrome is gone.
    void ended();

private:
    void readSome();
    void writeSome();
    void end();

    int readFrom_;
    int writeTo_;
    QSocketNotifier *readable_;
    QSocketNotifier *writable_;
    QByteArray incoming_;
    qsizetype searched_ = 0;
    // Within an oversized message: its head, while the rest goes by.
    std::optional<QByteArray> skipping_;
    QByteArray outgoing_;
    qsizetype written_ = 0;
    bool ended_ = false;
};

} // namespace corvane
