#pragma once

// Chrome's debugging protocol on two pipes: JSON messages, each ended by a
// NUL byte. Reads as bytes arrive and writes without ever blocking the
// gate's one thread.

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

namespace corvane {

class PipeChannel : public QObject {
    Q_OBJECT
public:
    // Chrome's messages can be large (a whole page's screenshot); past this
    // one is taken for a broken pipe.
    static constexpr qsizetype messageLimit = 256 * 1024 * 1024;

    // Takes both descriptors over.
    PipeChannel(int readFrom, int writeTo, QObject *parent = nullptr);
    ~PipeChannel() override;

    void send(const QByteArray &message);
    // Bytes written to the channel and not yet taken by the pipe.
    qsizetype backlog() const { return outgoing_.size() - written_; }

Q_SIGNALS:
    void message(const QByteArray &message);
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
    QByteArray outgoing_;
    qsizetype written_ = 0;
    bool ended_ = false;
};

} // namespace corvane
