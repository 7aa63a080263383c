#include "driver/ToolRun.h"

#include <initializer_list>

namespace corvane {

namespace {

// The tool opens a failed command's output with this mark, and a good tab
// switch with the other.
const QChar failureMark(u'✗');
const QChar successMark(u'✓');

constexpr unsigned readingBit(OutputReading reading)
{
    return 1u << static_cast<unsigned>(reading);
}

constexpr unsigned readings(std::initializer_list<OutputReading> list)
{
    unsigned bits = 0;
    for (const OutputReading reading : list)
        bits |= readingBit(reading);
    return bits;
}

using R = OutputReading;
constexpr unsigned everyReading
    = readings({R::open, R::action, R::snapshot, R::pageAfterAction, R::command, R::tabSwitch, R::data});
constexpr unsigned everyStep = everyReading & ~readingBit(R::data);

struct OutputRule {
    bool (*holds)(const QString &output);
    ToolOutcome outcome;
    unsigned appliesTo;
};

// The rules in the order they are tried; the first that holds for the reading
// decides, and an output that none holds for is done.
const OutputRule outputRules[] = {
    // The tool's own time-outs. A time-out is never a success, and callers
    // act on it: a snapshot is taken again after a load wait, a command that
    // may navigate is not waited for.
    {[](const QString &out) { return out.contains(QLatin1String("timed out"), Qt::CaseInsensitive); },
     ToolOutcome::timedOut, everyReading},
    // The failure mark opening the output: the command did not do its work.
    {[](const QString &out) { return statusMark(out) == failureMark; }, ToolOutcome::failed, everyStep},
    // The mark further on, after a warning or a first line that worked: an
    // action or a command is not done when any part of it failed. A snapshot
    // or an open reports the page, which may show the mark itself.
    {[](const QString &out) { return out.contains(failureMark); }, ToolOutcome::failed,
     readings({R::action, R::command})},
    // A click that hit what covers the element did not do what was asked,
    // whether it came as an action or as a typed command.
    {[](const QString &out) { return out.contains(QLatin1String("is covered by"), Qt::CaseInsensitive); },
     ToolOutcome::failed, readings({R::action, R::command})},
    // An element that is not there fails an action. A typed command may read
    // text that says "not found" as its answer, which is no failure.
    {[](const QString &out) { return out.contains(QLatin1String("not found"), Qt::CaseInsensitive); },
     ToolOutcome::failed, readings({R::action})},
    // An open that reports a missing program opened nothing.
    {[](const QString &out) { return out.contains(QLatin1String("not installed"), Qt::CaseInsensitive); },
     ToolOutcome::failed, readings({R::open})},
    // A snapshot that printed nothing at all shows no page (one of only
    // spaces is still what the page gave).
    {[](const QString &out) { return out.isEmpty(); }, ToolOutcome::failed, readings({R::snapshot})},
    // A command that printed nothing cannot be told from one that did nothing.
    {[](const QString &out) { return out.trimmed().isEmpty(); }, ToolOutcome::failed, readings({R::command})},
    // A tab switch worked only when the tool says so with its success mark.
    {[](const QString &out) { return statusMark(out) != successMark; }, ToolOutcome::failed, readings({R::tabSwitch})},
};

} // namespace

bool ToolRun::ran() const
{
    return outcome != ToolOutcome::busy && outcome != ToolOutcome::missingTool && outcome != ToolOutcome::couldNotStart
        && outcome != ToolOutcome::unguarded;
}

ToolOutcome classifyOutput(const QString &output, OutputReading reading, bool outputCut)
{
    for (const OutputRule &rule : outputRules) {
        if ((rule.appliesTo & readingBit(reading)) && rule.holds(output))
            return rule.outcome;
    }
    return outputCut ? ToolOutcome::cut : ToolOutcome::done;
}

ToolRun finishedRun(const QString &output, OutputReading reading, bool outputCut)
{
    ToolRun run;
    run.outcome = classifyOutput(output, reading, outputCut);
    run.output = output;
    run.outputCut = outputCut;
    return run;
}

std::optional<QChar> statusMark(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed.front();
}

} // namespace corvane
