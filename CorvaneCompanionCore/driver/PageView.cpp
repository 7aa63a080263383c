#include "driver/PageView.h"

#include "diagnostics/EventLog.h"
#include "driver/AgentRunner.h"
#include "driver/WorkTab.h"

#include "Dispatch.h"
#include "UserPaths.h"

#include <QFile>
#include <QJsonObject>

namespace corvane {

namespace {

constexpr double settlePause = 0.3;

// A page read that failed, or that has no such value, reads as the empty text.
QString pageRead(const QString &what)
{
    const QJsonValue value = agentData({QStringLiteral("get"), what}).value(what);
    return value.isUndefined() || value.isNull() ? QString() : jsonValueText(value);
}

// The tool's failure mark opens the output.
bool failureMarked(const QString &text)
{
    return statusMark(text) == QChar(0x2717);
}

DriverResult failedOn(const QString &text, bool needsYouFlag)
{
    DriverResult result;
    result.text = text;
    result.needsYou = needsYouFlag;
    result.chrome = true;
    return result;
}

// The screenshot as a data URL; empty when it could not be taken or read. A
// file left by an earlier run never stands in for this one's picture.
QString screenshotImage()
{
    const QString folder = platform::temporaryDir();
    if (folder.isEmpty())
        return {};
    const QString file = folder + screenshotFileName;
    QFile image(file);
    if (image.exists() && !image.remove())
        return {};
    const QString out = runOnActivePort({QStringLiteral("screenshot"), QStringLiteral("--screenshot-format"), QStringLiteral("jpeg"),
         QStringLiteral("--screenshot-quality"), QStringLiteral("55"), file});
    if (actionFailed(out) || !image.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = image.readAll();
    image.close();
    if (bytes.isEmpty())
        return {};
    image.remove();
    return QStringLiteral("data:image/jpeg;base64,") + QString::fromLatin1(bytes.toBase64());
}

} // namespace

const QStringList &snapshotArgs()
{
    static const QStringList args{QStringLiteral("snapshot"), QStringLiteral("-i"), QStringLiteral("-c")};
    return args;
}

bool mayNavigate(const QStringList &args)
{
    if (args.isEmpty())
        return false;
    const QString word = args.front().toLower();
    return word == QLatin1String("eval") || word == QLatin1String("click") || word == QLatin1String("press")
        || word == QLatin1String("open");
}

void waitForLoad(int limit)
{
    const QString out = runOnActivePort({QStringLiteral("wait"), QStringLiteral("--load"), QStringLiteral("domcontentloaded")}, limit);
    if (timedOut(out))
        companionLog(QStringLiteral("load.wait-timeout"), {{QStringLiteral("limit_s"), QString::number(limit)}});
}

QString cutSnapshot(const QString &text)
{
    if (text.size() <= snapshotTextLimit)
        return text;
    const qsizetype lineEnd = text.lastIndexOf(QLatin1Char('\n'), snapshotTextLimit);
    const QString kept = lineEnd < 0 ? QString() : text.left(lineEnd);
    const QStringView rest = QStringView(text).mid(lineEnd < 0 ? 0 : lineEnd + 1);
    const qsizetype moreLines = rest.count(QLatin1Char('\n')) + (rest.isEmpty() || rest.endsWith(QLatin1Char('\n')) ? 0 : 1);
    return kept
        + QStringLiteral("\n[snapshot cut: %1 more lines; scroll, or run cli \"snapshot -i -c -s <selector>\"]").arg(moreLines);
}

QString snapshotSettled(const QStringList &args)
{
    const QString out = runOnActivePort(args, snapshotLimit);
    if (!timedOut(out))
        return cutSnapshot(out);
    companionLog(QStringLiteral("snapshot.retry"), {{QStringLiteral("why"), QStringLiteral("timeout")}});
    waitForLoad(loadWaitLimit);
    return cutSnapshot(runOnActivePort(args, snapshotLimit));
}

DriverResult pageView()
{
    DriverResult result;
    result.title = pageRead(QStringLiteral("title"));
    result.url = pageRead(QStringLiteral("url"));
    result.image = screenshotImage();
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

DriverResult finish(const QString &text, bool chrome)
{
    DriverResult result;
    result.needsYou = needsYou(text);
    result.ok = !result.needsYou && !timedOut(text) && !runnerRefused(text) && !text.isEmpty() && !failureMarked(text);
    result.text = text;
    result.chrome = chrome;
    return result;
}

DriverResult finishCli(const QString &text)
{
    DriverResult result;
    result.needsYou = needsYou(text);
    const bool failed = runnerRefused(text) || text.contains(QChar(0x2717)) || timedOut(text)
        || text.contains(QLatin1String("is covered by"), Qt::CaseInsensitive);
    if (text.trimmed().isEmpty()) {
        result.text = commandReturnedNothingText;
        result.ok = false;
    } else {
        result.text = text;
        result.ok = !result.needsYou && !failed;
    }
    result.chrome = true;
    return result;
}

DriverResult afterAction(const QString &out)
{
    if (needsYou(out))
        return failedOn(out, true);
    if (actionFailed(out))
        return failedOn(out, false);

    platform::sleepFor(settlePause);
    const QString snap = runOnActivePort(snapshotArgs());
    if (needsYou(snap))
        return failedOn(snap, true);

    DriverResult result;
    result.url = pageRead(QStringLiteral("url"));
    result.title = pageRead(QStringLiteral("title"));
    result.chrome = true;
    if (timedOut(snap)) {
        companionLog(QStringLiteral("after.snapshot-timeout"), {{QStringLiteral("title"), result.title}, {QStringLiteral("url"), result.url}});
        const QString trimmed = out.trimmed();
        result.ok = !trimmed.isEmpty();
        result.text = result.ok ? trimmed : snapshotTimedOutAfterActionText;
        return result;
    }
    if (failureMarked(snap)) {
        result.text = snap.trimmed();
        return result; // the page after the action cannot be shown: never "done"
    }
    // A snapshot the runner refused shows nothing of the page: like an empty one.
    QString text = runnerRefused(snap) ? QString() : cutSnapshot(snap.trimmed());
    if (text.isEmpty())
        text = out;
    result.ok = !text.isEmpty();
    result.text = result.ok ? text : pageEmptyText;
    return result;
}

} // namespace corvane
