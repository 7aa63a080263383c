#pragma once

// The updater together with the dialogs it shows, made without starting the
// updater so its owner decides when (and whether) it runs.

#include "Updater.h"

#include <memory>

namespace corvane::platform {

class StandardUpdaterController {
public:
    StandardUpdaterController(UpdaterDelegate *delegate, std::unique_ptr<UpdateUserDriver> userDriver,
                              Bundle host = mainBundle())
        : userDriver_(std::move(userDriver))
        , updater_(std::move(host), delegate, userDriver_.get())
    {
    }

    Updater &updater() { return updater_; }
    // The menu's "Check for Updates…".
    void checkForUpdates() { updater_.checkForUpdates(); }

private:
    std::unique_ptr<UpdateUserDriver> userDriver_;
    Updater updater_;
};

} // namespace corvane::platform
