#pragma once

// The application's user defaults: one INI file at
// $XDG_CONFIG_HOME/CorvaneCompanion/defaults.ini. The path is computed on
// every call, and every read opens the file again, so a key written from
// outside (the `defaults` command, a text editor) counts at the next read.

#include <QString>

namespace corvane::platform {

namespace UserDefaults {

QString filePath();

bool contains(const QString &key);
// The stored text, or the empty text when the key is absent.
QString string(const QString &key);
// True only for a stored true ("true", "yes", "1", any letter case).
bool boolean(const QString &key);

// False when the file could not be written.
bool setString(const QString &key, const QString &value);
bool setBoolean(const QString &key, bool value);
bool remove(const QString &key);

} // namespace UserDefaults

} // namespace corvane::platform
