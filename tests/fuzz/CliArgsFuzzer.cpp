// A typed command line to the tool's arguments.

#include "FuzzSupport.h"

#include "driver/CliParsing.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = fuzz::utf8Text(data, size);
    const QStringList args = agentBrowserArgs(text);
    for (const QString &arg : args)
        fuzz::require(!arg.isEmpty(), "no empty argument");
    if (!args.isEmpty()) {
        fuzz::require(!stripAgentBrowserLauncher(text).isEmpty(), "arguments come from what the launcher leaves");
        for (const QChar c : args.front())
            fuzz::require(!c.isSpace(), "the action word is one word");
    }
    return 0;
}
