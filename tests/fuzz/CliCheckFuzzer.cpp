// A typed command, checked before anything runs: an allowed one acts on the
// page, with none of the tool's own options, and opens only web pages.

#include "FuzzSupport.h"

#include "driver/CliParsing.h"
#include "driver/CliPolicy.h"
#include "driver/ToolBatch.h"

#include <QDir>
#include <QTemporaryDir>

using namespace corvane;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The exchange folder is made where this points, never in a real home.
    static QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QStringList typed = agentBrowserArgs(fuzz::utf8Text(data, size));
    const CheckedCommand checked = checkCliCommand(typed);
    if (!checked.args) {
        fuzz::require(!checked.refusal.isEmpty(), "a refusal says why");
        return 0;
    }
    const QStringList &args = *checked.args;
    fuzz::require(!args.isEmpty(), "an allowed command has a verb");
    static const QStringList never {"--session",
                                    "--cdp",
                                    "--profile",
                                    "--state",
                                    "--config",
                                    "--executable-path",
                                    "--args",
                                    "--headers",
                                    "--proxy",
                                    "--download-path",
                                    "--allow-file-access",
                                    "--extension",
                                    "--init-script",
                                    "--new-tab",
                                    "--download",
                                    "--stdin"};
    const QList<qsizetype> texts = freeTextPositions(args);
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (!texts.contains(i))
            fuzz::require(!never.contains(args[i]), "no option of the tool itself");
    }
    static const QStringList neverVerbs {"screenshot", "pdf",    "state", "cookies", "storage", "network",
                                         "download",   "set",    "trace", "record",  "install", "session",
                                         "auth",       "plugin", "close", "connect"};
    fuzz::require(!neverVerbs.contains(args.front()), "no command beyond the page");
    if (args.front() == QLatin1String("open"))
        fuzz::require(args.value(1).startsWith(QLatin1String("http://"))
                          || args.value(1).startsWith(QLatin1String("https://")),
                      "open takes only a web page");
    return 0;
}
