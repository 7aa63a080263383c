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

// Watches the tool runs of one job on this thread. Once a run reported a
// dialog, every later run of the job returns at once without running.
class DialogWatch {
public:
    explicit DialogWatch(bool armed);
    ~DialogWatch();
    DialogWatch(const DialogWatch &) = delete;
    DialogWatch &operator=(const DialogWatch &) = delete;

    const std::optional<PageDialog> &seen() const { return seen_; }

    // For the runner: the watch of this thread's job, if one is armed.
    static DialogWatch *current();
    void see(const std::optional<PageDialog> &dialog);

private:
    bool armed_;
    DialogWatch *outer_;
    std::optional<PageDialog> seen_;
};

} // namespace corvane
