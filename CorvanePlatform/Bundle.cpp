#include "Bundle.h"

namespace corvane::platform {

Bundle mainBundle()
{
    return Bundle{{{shortVersionKey, QStringLiteral(CORVANE_VERSION)}}};
}

} // namespace corvane::platform
