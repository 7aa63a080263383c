// The work tab and any blocking dialog found in whatever the tool could print.

#include "FuzzSupport.h"

#include "driver/PageDialog.h"
#include "driver/PageView.h"
#include "driver/WorkTab.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString listing = fuzz::utf8Text(data, size);
    const WorkTabState state = workTabState(listing);
    // The tool's warnings may come first: text before the JSON changes nothing.
    fuzz::require(workTabState(QStringLiteral("\u26a0 warning\n") + listing) == state,
                  "text before the listing is skipped");
    if (const std::optional<PageDialog> dialog = reportedDialog(listing, listing))
        fuzz::require(!dialog->kind.isEmpty() && !dialog->kind.contains(QLatin1Char(' ')),
                      "a dialog's kind is one word");
    // A snapshot past the limit: kept whole lines from its start, then the note.
    if (!listing.isEmpty()) {
        const QString snapshot = listing.repeated(snapshotTextLimit / listing.size() + 1);
        const QString cut = cutSnapshot(snapshot);
        const qsizetype note = cut.lastIndexOf(QLatin1String("\n[snapshot cut: "));
        fuzz::require(note >= 0 && note <= snapshotTextLimit, "the note follows at most the limit");
        fuzz::require(snapshot.startsWith(cut.left(note)), "what is kept is the snapshot's start");
        fuzz::require(note == 0 || snapshot.at(note) == QLatin1Char('\n'), "the cut is at a line end");
    }
    return 0;
}
