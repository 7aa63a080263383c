// Version order: reflexive, antisymmetric and transitive for any three texts.

#include "FuzzSupport.h"

#include "VersionComparison.h"

#include <QStringList>

using corvane::fuzz::require;
using corvane::platform::compareVersions;

namespace {

int sign(int value)
{
    return (value > 0) - (value < 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QStringList parts = corvane::fuzz::utf8Text(data, size).split(QChar(u'\n'));
    const QString a = parts.value(0), b = parts.value(1), c = parts.value(2);
    require(compareVersions(a, a) == 0, "a version equals itself");
    require(sign(compareVersions(a, b)) == -sign(compareVersions(b, a)), "the order is antisymmetric");
    if (compareVersions(a, b) <= 0 && compareVersions(b, c) <= 0)
        require(compareVersions(a, c) <= 0, "the order is transitive");
    return 0;
}
