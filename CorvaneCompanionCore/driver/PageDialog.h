#pragma once

// A JavaScript dialog (confirm, prompt, beforeunload) that blocks the page,
// as the tool reports it, and the watch that ends a job at its first report:
// while a dialog is open, reading the page waits out every time limit.

#include <QString>

#include <optional>

namespace corvane {

struct PageDialog {
    QString kind; // the tool's word: "confirm", "prompt", ...
    QString message;
};

// The dialog the tool itself reports as blocking the page: in a warning or
// failure line of its standard error, or in the "warning" or "error" of its
// JSON answer. Never from what it passes on of the page (a snapshot, a text,
// a script's value), which the page could word as it likes.
std::optional<PageDialog> reportedDialog(const QString &errorOutput, const QString &jsonAnswer = {});

// 'The page is showing a <kind> dialog: "<message>". Answer it with ...'
QString dialogText(const PageDialog &dialog);

// Watches the tool runs of one job. Once a run reported a dialog, every
// later run of the job returns at once without running. A watch that is not
// armed never sees one: the person answers dialogs while they have the
// browser, and an answer to a dialog must run while it is open.
class DialogWatch {
public:
    explicit DialogWatch(bool armed)
        : armed_(armed)
    {
    }

    const std::optional<PageDialog> &seen() const { return seen_; }
    void see(const std::optional<PageDialog> &dialog)
    {
        if (armed_ && !seen_)
            seen_ = dialog;
    }

private:
    bool armed_;
    std::optional<PageDialog> seen_;
};

} // namespace corvane
