#pragma once

// Everyday page patterns for the suite and the driver benchmark: pages served
// from 127.0.0.1 (and "localhost" as a second origin), and the driver steps
// each pattern takes against a companion's local server.

#include "TestHttpServer.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <memory>

namespace corvane::test {

struct PatternStep {
    QByteArray path;
    QJsonObject body;
    // When set, "ref" is the element of this role and name in the latest
    // /snapshot before this step.
    QString role, name;
    double bound = 4.0; // seconds no run of this step may pass
};

struct PagePattern {
    QString name;
    QList<PatternStep> steps;
};

struct PatternRun {
    bool ok = false; // of the last step
    QString text; // of the last step
    double seconds = 0; // all steps
    QList<double> stepSeconds;
    QString failure; // a step could not be made (its ref was missing)
};

// Serves the patterns' pages; a page whose load never ends is let go when
// the site goes.
class PatternSite {
public:
    PatternSite();
    ~PatternSite();
    QByteArray url(const char *path) const { return server_->url(path); }
    QList<PagePattern> patterns() const;

private:
    std::unique_ptr<TestHttpServer> server_;
};

PatternRun runPattern(const PagePattern &pattern, quint16 port);

} // namespace corvane::test
