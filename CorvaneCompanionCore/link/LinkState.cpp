#include "link/LinkState.h"

namespace corvane {

QString loopResultWord(LoopResult result)
{
    switch (result) {
    case LoopResult::badHost:
        return QStringLiteral("bad host");
    case LoopResult::closed:
        return QStringLiteral("closed");
    case LoopResult::refresh:
        return QStringLiteral("refresh");
    case LoopResult::waiting:
        return QStringLiteral("waiting");
    case LoopResult::idle:
        return QStringLiteral("idle");
    }
    return {};
}

QString phaseWord(LinkPhase phase)
{
    switch (phase) {
    case LinkPhase::off:
        return QStringLiteral("off");
    case LinkPhase::connecting:
        return QStringLiteral("connecting");
    case LinkPhase::idle:
        return QStringLiteral("idle");
    case LinkPhase::socketDown:
        return QStringLiteral("socket-down");
    case LinkPhase::waiting:
        return loopResultWord(LoopResult::waiting);
    case LinkPhase::refresh:
        return loopResultWord(LoopResult::refresh);
    case LinkPhase::badHost:
        return loopResultWord(LoopResult::badHost);
    }
    return {};
}

std::optional<LinkPhase> phaseFromWord(const QString &word)
{
    for (const LinkPhase phase : {LinkPhase::off, LinkPhase::connecting, LinkPhase::idle, LinkPhase::socketDown,
                                  LinkPhase::waiting, LinkPhase::refresh, LinkPhase::badHost}) {
        if (phaseWord(phase) == word)
            return phase;
    }
    return std::nullopt;
}

} // namespace corvane
