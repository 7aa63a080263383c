// Request bodies from any text: never a crash, and a body only from an object.

#include "FuzzSupport.h"

#include "driver/DriverResult.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = fuzz::utf8Text(data, size);
    const Body body = parseJSONBody(text);
    if (!body.isEmpty())
        fuzz::require(jsonObjectFromText(text).has_value(), "a body comes from a JSON object");
    return 0;
}
