#pragma once

// Replacing the installed copy with a newer one. The installed copy is its
// prefix folder (see Bundle.h); an update is a .tar.gz of that layout. It is
// unpacked beside the installed copy, so a rename swaps it in, and the copy it
// replaces is kept beside it until the new one has started once:
//
//   PREFIX            the installed copy
//   PREFIX.update     the next copy, unpacked and checked, not yet in use
//   PREFIX.previous   the copy the last update replaced
//
// Only a prefix of the application's own is replaced: one holding nothing but
// its executable and files named after its identifier. A shared prefix such
// as /usr/local or ~/.local is left to whoever installed into it.

#include "Bundle.h"

#include <QString>
#include <QStringList>

namespace corvane::platform {

struct InstallStep {
    bool ok = false;
    QString error;
};

QString stagedCopyPath(const Bundle &bundle);
QString previousCopyPath(const Bundle &bundle);

// Whether the installed copy may be replaced. Touches nothing.
InstallStep checkReplaceable(const Bundle &bundle);

// Unpacks `archivePath` into the staged copy, replacing an earlier one, and
// checks that it is an installed layout of this application. Blocks while
// `tar` runs.
InstallStep stageUpdate(const Bundle &bundle, const QString &archivePath);
void discardStagedUpdate(const Bundle &bundle);

// Puts the staged copy in the installed copy's place; the installed copy
// becomes the previous copy. On failure the installed copy is as it was.
InstallStep swapInStagedUpdate(const Bundle &bundle);

// Starts the installed executable with `arguments` once process `pid` has
// ended (or after 30 s, should it linger as an unreaped zombie).
bool relaunchAfterExit(const Bundle &bundle, qint64 pid, const QStringList &arguments);

// Called once a copy has started: the one it replaced is no longer needed.
void removePreviousCopy(const Bundle &bundle);

} // namespace corvane::platform
