#pragma once

// Replacing the installed copy with a newer one. The installed copy is its
// prefix folder (see Bundle.h); an update is a .tar.gz of that layout. It is
// unpacked beside the installed copy, so a rename swaps it in, and the copy it
// replaces is kept beside it until the new one has started once:
//
//   PREFIX                 the installed copy
//   PREFIX.update.tar.gz   the next copy as it was downloaded and verified,
//                          readable by the user alone
//   PREFIX.update          the next copy, unpacked from it and checked
//   PREFIX.previous        the copy the last update replaced
//
// A copy says which version it is in share/<identifier>/version; that file
// is part of the signed archive, so a release cannot pass for another.
//
// Only a prefix of the application's own is replaced: one holding nothing but
// its executable and files named after its identifier. A shared prefix such
// as /usr/local or ~/.local is left to whoever installed into it.

#include "Bundle.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace corvane::platform {

struct InstallStep {
    bool ok = false;
    QString error;
};

QString stagedCopyPath(const Bundle &bundle);
QString stagedArchivePath(const Bundle &bundle);
QString previousCopyPath(const Bundle &bundle);
// Where a copy keeps its version, relative to its prefix.
QString versionFilePath();

// Whether the installed copy may be replaced. Touches nothing.
InstallStep checkReplaceable(const Bundle &bundle);

// An empty staged archive, readable and writable by the user alone, for a
// download to be written into; an earlier one is replaced.
InstallStep prepareStagedArchive(const Bundle &bundle);

// Unpacks `archivePath` into the staged copy, replacing an earlier one, and
// checks that it is an installed layout of this application. Blocks while
// `tar` runs.
InstallStep stageUpdate(const Bundle &bundle, const QString &archivePath);
// The version the staged copy says it is; none when it says nothing.
std::optional<QString> stagedVersion(const Bundle &bundle);
// Removes the staged copy and the staged archive.
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
