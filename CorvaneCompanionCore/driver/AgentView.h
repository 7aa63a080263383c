#pragma once

// What the person sees of an assistant at work: the tray lists these, and
// `corvane-companion status` prints them.

#include <QString>

namespace corvane {

struct AgentView {
    QString name;
    QString title; // of the page its last job saw
    bool busy = false;
    bool handedOver = false;

    friend bool operator==(const AgentView &, const AgentView &) = default;
};

} // namespace corvane
