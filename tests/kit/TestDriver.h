#pragma once

// The suite's one driver, as the companion has one: the work tab it knows,
// its kept DevTools connection and its tool runner last from test to test.

#include "driver/Driver.h"

namespace corvane::test {

// Never destroyed: its kept DevTools connection would close after the
// network thread ended.
inline Driver &testDriver()
{
    static auto *driver = new Driver;
    return *driver;
}

} // namespace corvane::test
