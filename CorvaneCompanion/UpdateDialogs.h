#pragma once

// What the user sees of an update check they asked for: a small dialog, or a
// line on standard error in a companion without a GUI.

#include "Updater.h"

namespace corvane {

class UpdateDialogs : public platform::UpdateUserDriver {
public:
    void showUpdateNotFound(const QString &currentVersion) override;
    void showUpdateReady(const platform::AppcastItem &item) override;
    void showUpdaterError(const QString &error) override;
};

} // namespace corvane
