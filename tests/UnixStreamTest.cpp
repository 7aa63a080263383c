// The kept connection's socket is used only when it, its folder and the
// process behind it are the user's own.

#include "TempHome.h"

#include "Processes.h"
#include "UnixStream.h"

#include <QDir>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace corvane;
using platform::UnixStream;

namespace {

// A listening socket at `path`; its descriptor.
int listenAt(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray name = path.toLocal8Bit();
    std::memcpy(address.sun_path, name.constData(), static_cast<size_t>(name.size()));
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

TEST(UnixStream, OpensOnlyTheUsersOwnSocketInAFolderClosedToOthers)
{
    test::TempHome home;
    const struct {
        const char *name;
        mode_t folderMode;
        bool otherOwner; // the socket file belongs to another account (needs root)
        bool listening;
        UnixStream::Refusal refusal;
    } cases[] = {
        {"own", 0700, false, true, UnixStream::Refusal::none},
        {"readable folder", 0755, false, true, UnixStream::Refusal::none},
        {"folder others may write", 0777, false, true, UnixStream::Refusal::notOurs},
        {"folder the group may write", 0770, false, true, UnixStream::Refusal::notOurs},
        {"another account's socket", 0700, true, true, UnixStream::Refusal::notOurs},
        {"nobody listens", 0700, false, false, UnixStream::Refusal::missing},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.otherOwner && !platform::runningAsRoot())
            continue;
        const QString folder = home.path() + QStringLiteral("/s-") + QString::number(&c - cases);
        ASSERT_TRUE(QDir().mkpath(folder));
        const QString path = folder + QStringLiteral("/corvane.sock");
        const int fd = listenAt(path);
        ASSERT_GE(fd, 0);
        if (!c.listening)
            ::close(fd);
        if (c.otherOwner)
            ASSERT_EQ(::lchown(path.toLocal8Bit().constData(), 65534, 65534), 0);
        ASSERT_EQ(::chmod(folder.toLocal8Bit().constData(), c.folderMode), 0);
        UnixStream::Refusal refusal = UnixStream::Refusal::none;
        const UnixStream stream = UnixStream::connect(path, &refusal);
        EXPECT_EQ(refusal, c.refusal);
        EXPECT_EQ(stream.isOpen(), c.refusal == UnixStream::Refusal::none);
        if (stream.isOpen())
            EXPECT_EQ(stream.peerPid(), ::getpid());
        if (c.listening)
            ::close(fd);
    }
}
