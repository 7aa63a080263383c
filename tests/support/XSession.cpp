#include "XSession.h"

#include "Eventually.h"

#include <QTemporaryDir>

namespace corvane::test {

XSession::XSession()
{
    // Xvfb picks a free display and prints its number once it accepts clients.
    server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server_.start(QStringLiteral("Xvfb"),
                  {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                   QStringLiteral("640x480x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    QByteArray said;
    if (!eventually(
            [&] {
                server_.waitForReadyRead(50);
                said += server_.readAllStandardOutput();
                return said.endsWith('\n') || server_.state() == QProcess::NotRunning;
            },
            10.0)
        || said.trimmed().isEmpty())
        return;
    display_ = QLatin1Char(':') + QString::fromLatin1(said.trimmed());

    tray_.setProcessEnvironment(environment());
    tray_.setProcessChannelMode(QProcess::MergedChannels);
    tray_.setStandardOutputFile(QProcess::nullDevice());
    tray_.start(QStringLiteral("trayer"),
                {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"), QStringLiteral("left"),
                 QStringLiteral("--widthtype"), QStringLiteral("pixel"), QStringLiteral("--width"),
                 QStringLiteral("200"), QStringLiteral("--heighttype"), QStringLiteral("pixel"),
                 QStringLiteral("--height"), QStringLiteral("32"), QStringLiteral("--SetDockType"),
                 QStringLiteral("false")});
    started_ = tray_.waitForStarted(5000) && eventually([&] {
                   return xdotool({QStringLiteral("search"), QStringLiteral("--name"), QStringLiteral("^panel$")});
               });
}

XSession::~XSession()
{
    for (QProcess *process : {&tray_, &server_}) {
        process->terminate();
        if (!process->waitForFinished(5000)) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
}

QProcessEnvironment XSession::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display_);
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return environment;
}

bool XSession::xdotool(const QStringList &arguments) const
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(QStringLiteral("xdotool"), arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QImage XSession::grab() const
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("screen.png"));
    QProcess process;
    process.setProcessEnvironment(environment());
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(QStringLiteral(CORVANE_SCREEN_GRAB), {path});
    if (!process.waitForFinished(10000) || process.exitCode() != 0)
        return {};
    return QImage(path);
}

} // namespace corvane::test
