// The work tab found in any tab listing the tool could print.

#include "FuzzSupport.h"

#include "WorkTab.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString listing = fuzz::utf8Text(data, size);
    const WorkTabState state = workTabState(listing);
    // The tool's warnings may come first: text before the JSON changes nothing.
    fuzz::require(workTabState(QStringLiteral("\u26a0 warning\n") + listing) == state, "text before the listing is skipped");
    return 0;
}
