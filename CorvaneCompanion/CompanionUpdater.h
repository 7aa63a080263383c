#pragma once

// Keeps the companion up to date. Updates do not run yet on this platform:
// start() reports them off and no controller is ever made, so the menu shows
// no "Check for Updates…".

#include <QObject>

namespace corvane {

class CompanionUpdater : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    void start();
    void checkNow();
    // Present only while updates run.
    QObject *controller() const { return controller_; }

private:
    QObject *controller_ = nullptr;
};

} // namespace corvane
