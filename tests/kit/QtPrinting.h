#pragma once

// Readable failure messages for the Qt values the tests compare.

#include "link/LinkState.h"

#include <QString>
#include <QUrl>

#include <ostream>

inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

// For messages streamed after an assertion.
inline std::ostream &operator<<(std::ostream &out, const QString &text)
{
    return out << text.toStdString();
}

inline void PrintTo(const QUrl &url, std::ostream *out)
{
    *out << url.toString(QUrl::FullyEncoded).toStdString();
}

namespace corvane {

inline void PrintTo(LoopResult result, std::ostream *out)
{
    *out << loopResultWord(result).toStdString();
}

inline void PrintTo(LinkPhase phase, std::ostream *out)
{
    *out << phaseWord(phase).toStdString();
}

} // namespace corvane
