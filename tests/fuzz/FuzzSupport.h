#pragma once

// What every harness needs: the input as text, and a check that aborts, so
// that libFuzzer keeps the input that broke a rule.

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace corvane::fuzz {

inline QString utf8Text(const uint8_t *data, size_t size)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
}

// Raw UTF-16 units, lone surrogates and all: what a page's title can hold.
inline QString utf16Text(const uint8_t *data, size_t size)
{
    return QString(reinterpret_cast<const QChar *>(data), static_cast<qsizetype>(size / 2));
}

inline void require(bool holds, const char *rule)
{
    if (!holds) {
        std::fprintf(stderr, "rule broken: %s\n", rule);
        std::abort();
    }
}

} // namespace corvane::fuzz
