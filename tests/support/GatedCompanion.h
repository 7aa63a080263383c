#pragma once

#include "CompanionProcess.h"
#include "TempHome.h"
#include "TestHttpServer.h"

#include <QMap>

namespace corvane::test {

// The real executable in a temporary home, with the real tool, and the
// Chrome it starts itself behind its gate on its first action: an open of
// the first page served. Everything it started ends with it.
class GatedCompanion {
public:
    static constexpr quint16 port = 8766;

    // `localOrigins`: what the companion may open on this machine besides
    // http://127.0.0.1 (a second name for the pages, say). `files`: what the
    // home holds before the companion starts, by path inside it; the
    // companion runs in the home's "project" folder.
    explicit GatedCompanion(const QMap<QByteArray, QByteArray> &pages, const QString &localOrigins = {},
                            const QMap<QString, QByteArray> &files = {});
    ~GatedCompanion();
    GatedCompanion(const GatedCompanion &) = delete;
    GatedCompanion &operator=(const GatedCompanion &) = delete;

    // The tool was in place, the companion listened and its first open
    // worked, behind a gate whose port is known.
    bool ready() const { return toolLinked && filesWritten && opened && gatePort != 0; }
    QString page(const char *path) const { return QString::fromLatin1(server.url(path)); }
    // The gate and its Chrome still run.
    bool browserRuns() const;

    TempHome home;

private:
    ScopedEnv flags_;
    ScopedEnv origins_;

public:
    const bool toolLinked;
    TestHttpServer server;
    const bool filesWritten;
    CompanionProcess process;
    bool opened = false;
    quint16 gatePort = 0;
};

} // namespace corvane::test
