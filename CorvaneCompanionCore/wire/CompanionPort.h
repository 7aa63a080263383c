#pragma once

// The one port the companion serves its own programs on, on loopback.

#include <QtGlobal>

namespace corvane {

inline constexpr quint16 companionPort = 8766;

} // namespace corvane
