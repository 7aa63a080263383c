#pragma once

// Checks on logged events that name the event and the fields that matter,
// with a readable message when they fail.

#include "QtPrinting.h"
#include "TempHome.h"

#include <gtest/gtest.h>

#include <ostream>

namespace corvane::test {

inline void PrintTo(const LoggedEvent &event, std::ostream *out)
{
    *out << event.name.toStdString();
    for (auto it = event.fields.begin(); it != event.fields.end(); ++it)
        *out << ' ' << it.key().toStdString() << '=' << it.value().toStdString();
}

inline std::ostream &operator<<(std::ostream &out, const LoggedEvent &event)
{
    PrintTo(event, &out);
    return out;
}

// The event is `name` with every one of `fields` holding its value.
inline testing::AssertionResult isEvent(const LoggedEvent &event, const QString &name,
                                        const QMap<QString, QString> &fields = {})
{
    if (event.is(name, fields))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the event is: " << event;
}

// Some event of `events` is `name` with every one of `fields` holding its value.
inline testing::AssertionResult hasEvent(const QList<LoggedEvent> &events, const QString &name,
                                         const QMap<QString, QString> &fields = {})
{
    for (const LoggedEvent &event : events) {
        if (event.is(name, fields))
            return testing::AssertionSuccess();
    }
    testing::AssertionResult failure = testing::AssertionFailure();
    failure << "no such event among " << events.size() << ":";
    for (const LoggedEvent &event : events)
        failure << "\n  " << event;
    return failure;
}

} // namespace corvane::test
