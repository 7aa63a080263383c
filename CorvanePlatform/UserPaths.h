#pragma once

// The per-user folders, computed from the environment on every call so that a
// changed HOME or XDG variable (tests use temporary ones) takes effect at once.

#include <QString>

namespace corvane::platform {

QString homeDir();

// "Application Support": $XDG_DATA_HOME, else ~/.local/share.
QString applicationSupportDir();

// Where the event log and status file live: $XDG_STATE_HOME/CorvaneCompanion,
// else ~/.local/state/CorvaneCompanion. Not created here.
QString logDir();

// $XDG_CONFIG_HOME, else ~/.config.
QString configHome();

// The user's download folder: XDG_DOWNLOAD_DIR from user-dirs.dirs, else
// ~/Downloads. Not created here.
QString downloadsDir();

// The user's own temporary folder, ending with "/": $XDG_RUNTIME_DIR, else
// "runtime" in the companion's state folder, mode 0700 and owned by the user.
// Never a folder another account could have made first. Empty when no
// private folder can be had (callers then write nothing rather than write in
// public).
QString temporaryDir();

// Creates `path` and its missing parents; the last folder gets mode 0700 when
// this call creates it. True when the folder exists afterwards.
bool makePrivateDir(const QString &path);

} // namespace corvane::platform
