// Event values from anything a page or a tool can say: one line, bounded,
// nothing that could disguise a line.

#include "FuzzSupport.h"

#include "diagnostics/EventLog.h"

#include <fuzzer/FuzzedDataProvider.h>

using namespace corvane;

namespace {

bool disguises(char32_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x061C || c == 0x200E
        || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const int limit = input.ConsumeIntegralInRange(0, 500);
    const std::vector<uint8_t> rest = input.ConsumeRemainingBytes<uint8_t>();
    const QString value = fuzz::utf16Text(rest.data(), rest.size());

    const QString clipped = clip(value, limit);
    fuzz::require(clipped.toUtf8().size() <= valueByteLimit, "a value stays within its bytes");
    for (const char32_t c : clipped.toUcs4())
        fuzz::require(!disguises(c) && !QChar::isSurrogate(c), "nothing that breaks or disguises a line");

    const QString line = logLine(QDateTime::fromSecsSinceEpoch(0, Qt::UTC), value, {{value, value}});
    fuzz::require(line.indexOf(QLatin1Char('\n')) == line.size() - 1, "one event, one line");
    return 0;
}
