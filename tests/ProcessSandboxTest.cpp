// A program started under the ban on TCP binds, by each of the kernel's
// means: no TCP port of its own, IPv4 or IPv6, while a Unix socket of its
// own and a connection out still work.

#include "ProcessSandbox.h"

#include "TempHome.h"

#include <QProcess>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <cstdio>

#include <unistd.h>

using namespace corvane;

namespace {

const char *const probe = R"PY(
import socket, sys
def attempt(make):
    try:
        make()
        return 'ok'
    except OSError:
        return 'refused'
def tcp4():
    socket.socket(socket.AF_INET).bind(('127.0.0.1', 0))
def tcp6():
    socket.socket(socket.AF_INET6).bind(('::1', 0))
def unix():
    s = socket.socket(socket.AF_UNIX)
    s.bind(sys.argv[1])
    s.listen()
def out():
    socket.create_connection(('127.0.0.1', int(sys.argv[2])), timeout=5).close()
print(' '.join(attempt(f) for f in (tcp4, tcp6, unix, out)))
)PY";

} // namespace

TEST(ProcessSandbox, NoTcpPortOfItsOwnButItsUnixSocketAndConnectionsOut)
{
    test::TempHome home;
    QTcpServer listening;
    ASSERT_TRUE(listening.listen(QHostAddress::LocalHost));
    for (const platform::TcpBindBan how : {platform::TcpBindBan::landlock, platform::TcpBindBan::systemCallFilter}) {
        const bool landlock = how == platform::TcpBindBan::landlock;
        SCOPED_TRACE(landlock ? "landlock" : "system-call filter");
        QProcess python;
        python.setChildProcessModifier([how] {
            if (!platform::forbidTcpBinding(how))
                ::_exit(3);
        });
        const QString socketPath = home.path() + (landlock ? "/landlock-owns-this.sock" : "/the-filter-owns-this.sock");
        python.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral("-c"), QString::fromLatin1(probe), socketPath,
                      QString::number(listening.serverPort())});
        ASSERT_TRUE(python.waitForFinished(30000));
        if (landlock && python.exitCode() == 3) {
            std::printf("this kernel has no Landlock network rules: the filter stands in\n");
            continue;
        }
        ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
        EXPECT_EQ(QString::fromUtf8(python.readAllStandardOutput()).trimmed(), QStringLiteral("refused refused ok ok"));
    }
}
