#include "driver/PageView.h"

#include "diagnostics/EventLog.h"
#include "driver/ActionWatch.h"
#include "driver/AgentRunner.h"
#include "driver/ChallengeCheck.h"
#include "driver/Job.h"
#include "driver/PageDialog.h"
#include "driver/PageSettle.h"
#include "driver/WorkTab.h"

#include "Dispatch.h"
#include "UserPaths.h"

#include <QFile>
#include <QJsonObject>

namespace corvane {

namespace {

constexpr double settlePause = 0.3;

DriverResult failedOn(const QString &text, bool needsYouFlag)
{
    DriverResult result;
    result.text = text;
    result.needsYou = needsYouFlag;
    result.chrome = true;
    return result;
}

BatchStep pageRead(const char *what)
{
    return {{QStringLiteral("get"), QLatin1String(what)}, OutputReading::data};
}

// The file the screenshot goes to, with no picture of an earlier run left
// in it; empty when there is none to be had.
QString freshScreenshotFile()
{
    const QString folder = platform::temporaryDir();
    if (folder.isEmpty())
        return {};
    const QString file = folder + screenshotFileName;
    if (QFile::exists(file) && !QFile::remove(file))
        return {};
    return file;
}

// The screenshot as a data URL; empty when it could not be taken or read.
QString screenshotImage(const ToolRun &shot, const QString &file)
{
    QFile image(file);
    if (!shot.succeeded() || !image.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = image.readAll();
    image.close();
    if (bytes.isEmpty())
        return {};
    image.remove();
    return QStringLiteral("data:image/jpeg;base64,") + QString::fromLatin1(bytes.toBase64());
}

// A snapshot past what an assistant can take is cut, and says so itself.
ToolRun cutToLimit(ToolRun run, OutputReading reading)
{
    if (run.output.size() <= snapshotTextLimit)
        return run;
    run.output = cutSnapshot(run.output);
    run.outputCut = false;
    run.outcome = classifyOutput(run.output, reading, true);
    return run;
}

} // namespace

QString runText(const ToolRun &run)
{
    switch (run.outcome) {
    case ToolOutcome::busy:
        return agentBusyText;
    case ToolOutcome::missingTool:
        return agentMissingText;
    case ToolOutcome::couldNotStart:
        return agentStartFailedText + run.startError;
    case ToolOutcome::unguarded:
        return agentListenerText;
    case ToolOutcome::timedOut:
        if (run.output.isEmpty())
            return agentTimeoutText; // the runner's limit, not the tool's own
        break;
    case ToolOutcome::done:
    case ToolOutcome::cut:
    case ToolOutcome::failed:
        break;
    }
    return run.outputCut ? run.output + outputCutText : run.output;
}

const QStringList &snapshotArgs()
{
    static const QStringList args {QStringLiteral("snapshot"), QStringLiteral("-i"), QStringLiteral("-c")};
    return args;
}

QString cutSnapshot(const QString &text)
{
    if (text.size() <= snapshotTextLimit)
        return text;
    const qsizetype lineEnd = text.lastIndexOf(QLatin1Char('\n'), snapshotTextLimit);
    const QString kept = lineEnd < 0 ? QString() : text.left(lineEnd);
    const QStringView rest = QStringView(text).mid(lineEnd < 0 ? 0 : lineEnd + 1);
    const qsizetype moreLines
        = rest.count(QLatin1Char('\n')) + (rest.isEmpty() || rest.endsWith(QLatin1Char('\n')) ? 0 : 1);
    return kept
        + QStringLiteral("\n[snapshot cut: %1 more lines; scroll, or run cli \"snapshot -i -c -s <selector>\"]")
              .arg(moreLines);
}

ToolRun snapshotSettled(Job &job, const QStringList &args, OutputReading reading)
{
    return snapshotSettled(job, job.run(args, reading, snapshotLimit), args, reading);
}

ToolRun snapshotSettled(Job &job, const ToolRun &first, const QStringList &args, OutputReading reading)
{
    ToolRun run = first;
    if (run.outcome == ToolOutcome::timedOut) {
        companionLog(QStringLiteral("snapshot.retry"), {{QStringLiteral("why"), QStringLiteral("timeout")}});
        waitForLoad(job, loadWaitLimit);
        run = job.run(args, reading, snapshotLimit);
    }
    return cutToLimit(run, reading);
}

std::optional<DriverResult> pageView(const PageReads &read)
{
    const QString file = freshScreenshotFile();
    QList<BatchStep> reads {pageRead("title"), pageRead("url")};
    if (!file.isEmpty())
        reads.append({{QStringLiteral("screenshot"), QStringLiteral("--screenshot-format"), QStringLiteral("jpeg"),
                       QStringLiteral("--screenshot-quality"), QStringLiteral("55"), file},
                      OutputReading::action});
    const std::optional<QList<ToolRun>> runs = read(reads);
    if (!runs)
        return std::nullopt;
    DriverResult result;
    result.title = answerValue(runs->at(0), QStringLiteral("title"));
    result.url = answerValue(runs->at(1), QStringLiteral("url"));
    if (!file.isEmpty())
        result.image = screenshotImage(runs->at(2), file);
    QStringList lines;
    if (!result.title.isEmpty())
        lines.append(result.title);
    if (!result.url.isEmpty())
        lines.append(result.url);
    result.text = lines.join(QLatin1Char('\n'));
    result.ok = !result.text.isEmpty() || !result.image.isEmpty();
    if (result.text.isEmpty())
        result.text = pageEmptyText;
    result.chrome = true;
    return result;
}

DriverResult finish(Job &job, const ToolRun &snapshot, bool chrome)
{
    DriverResult result;
    result.text = runText(snapshot);
    result.needsYou = needsYouOnPage(job, result.text);
    result.ok = !result.needsYou && snapshot.succeeded();
    result.chrome = chrome;
    return result;
}

DriverResult finishCli(Job &job, const ToolRun &command)
{
    DriverResult result;
    const QString text = runText(command);
    result.needsYou = needsYouOnPage(job, text);
    if (text.trimmed().isEmpty()) {
        result.text = commandReturnedNothingText;
    } else {
        result.text = text;
        result.ok = !result.needsYou && command.succeeded();
    }
    result.chrome = true;
    return result;
}

DriverResult afterAction(Job &job, const ToolRun &action, ActionWatch *watch, std::optional<QString> *listingAfter,
                         SettleFrom from)
{
    const QString out = runText(action);
    if (needsYouOnPage(job, out))
        return failedOn(out, true);
    if (!action.succeeded())
        return failedOn(out, false);

    platform::sleepFor(settlePause);
    // A page that shows a blocking dialog does nothing more until it is answered.
    if (watch && !job.dialogSeen()) {
        if (from == SettleFrom::pauseEnd)
            watch->quietFromNow();
        watch->settle();
    }
    QList<BatchStep> reads {{snapshotArgs(), OutputReading::pageAfterAction}, pageRead("url"), pageRead("title")};
    if (listingAfter)
        reads.append({workTabListArgs(), OutputReading::data});
    const QList<ToolRun> runs = job.runBatch(reads);
    if (listingAfter)
        *listingAfter = runs.at(3).output;
    const ToolRun &snapshot = runs.at(0);
    const QString snap = runText(snapshot);
    if (needsYouOnPage(job, snap))
        return failedOn(snap, true);

    DriverResult result;
    result.url = answerValue(runs.at(1), QStringLiteral("url"));
    result.title = answerValue(runs.at(2), QStringLiteral("title"));
    result.chrome = true;
    if (watch)
        result.download = watch->download();
    // A download is said last, whatever else the text holds.
    const auto withDownload = [&result](const QString &text) {
        return result.download ? text + QStringLiteral("\n\n") + downloadSentence(*result.download) : text;
    };
    if (snapshot.outcome == ToolOutcome::timedOut) {
        companionLog(QStringLiteral("after.snapshot-timeout"),
                     {{QStringLiteral("title"), result.title}, {QStringLiteral("url"), result.url}});
        const QString trimmed = out.trimmed();
        result.ok = !trimmed.isEmpty();
        result.text = withDownload(result.ok ? trimmed : snapshotTimedOutAfterActionText);
        return result;
    }
    if (snapshot.outcome == ToolOutcome::failed) {
        result.text = snap.trimmed();
        return result; // the page after the action cannot be shown: never "done"
    }
    // A snapshot that never ran shows nothing of the page: like an empty one.
    QString text = snapshot.ran() ? cutSnapshot(snap.trimmed()) : QString();
    if (text.isEmpty())
        text = out;
    result.ok = !text.isEmpty();
    result.text = result.ok ? text : pageEmptyText;
    if (watch) {
        if (const QString changed = watch->changedText(text); !changed.isEmpty())
            result.text += QStringLiteral("\n\n") + changed;
    }
    result.text = withDownload(result.text);
    return result;
}

} // namespace corvane
