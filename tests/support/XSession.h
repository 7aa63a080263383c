#pragma once

#include <QImage>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace corvane::test {

// A virtual X display (Xvfb) with a system tray host (trayer) docked at its
// top left, for tests of the tray; both stop when the object goes away.
class XSession {
public:
    XSession();
    ~XSession();
    XSession(const XSession &) = delete;
    XSession &operator=(const XSession &) = delete;

    bool started() const { return started_; }
    QString display() const { return display_; }
    // The environment for a program shown on this display.
    QProcessEnvironment environment() const;

    // Runs xdotool with `arguments` on this display; true when it succeeded.
    bool xdotool(const QStringList &arguments) const;
    // The screen now, or an empty image when it could not be taken.
    QImage grab() const;

private:
    QProcess server_;
    QProcess tray_;
    QString display_;
    bool started_ = false;
};

} // namespace corvane::test
