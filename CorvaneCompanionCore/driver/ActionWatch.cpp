#include "driver/ActionWatch.h"

#include "chrome/DevToolsSession.h"
#include "diagnostics/EventLog.h"

#include "Dispatch.h"
#include "OwnFiles.h"
#include "UserPaths.h"

#include <QHash>
#include <QJsonArray>
#include <QLocale>
#include <QSet>

#include <mutex>

namespace corvane {

namespace {

constexpr double connectLimit = 2.0;
constexpr double pollEvery = 0.05;

// Runs in a world of the companion's own beside the page's: the page cannot
// see or change it. Notes when the document last changed.
const QString quietWatcherScript = QStringLiteral(R"JS((() => {
  if (!globalThis.__cvWatch) {
    const watch = { last: performance.now() };
    new MutationObserver(() => { watch.last = performance.now(); }).observe(document, {
      subtree: true, childList: true, characterData: true,
      attributes: true, attributeFilter: ['class', 'hidden', 'open', 'aria-hidden', 'aria-busy', 'disabled'] });
    globalThis.__cvWatch = watch;
  }
  return performance.now() - globalThis.__cvWatch.last;
})())JS");

// The visible text outside interactive elements (the snapshot shows those),
// one line per block, read as the person sees it: open shadow roots and
// same-origin frames too, nothing hidden, transparent, empty, off the page
// or hidden from assistive technology. Bounded in the page, per text node,
// per line and in all, so that no page makes the answer larger than 200,000
// characters.
const QString visibleTextScript = QStringLiteral(R"JS((() => {
  const nodeLimit = 2000, lineLimit = 4000, totalLimit = 200000, linesLimit = 5000, visitLimit = 100000;
  const interactive = 'a,button,input,select,textarea,option,summary,[role=button],[role=link],[role=checkbox],' +
    '[role=radio],[role=tab],[role=menuitem],[role=option],[role=switch],[role=textbox],[role=combobox],[contenteditable]';
  const skipped = new Set(['SCRIPT', 'STYLE', 'NOSCRIPT', 'TEMPLATE']);
  const up = (e) => e.parentElement || (e.parentNode && e.parentNode.host) || null;
  const blocks = new Map();
  const blockOf = (element) => {
    for (let e = element; e; e = up(e)) {
      if (blocks.has(e)) return blocks.get(e) || blockOf(up(e));
      const display = e.ownerDocument.defaultView.getComputedStyle(e).display;
      const isBlock = !display.startsWith('inline') && display !== 'contents';
      blocks.set(e, isBlock ? e : null);
      if (isBlock) return e;
    }
    return null;
  };
  const seen = (element) => {
    if (element.closest(interactive) || element.closest('[aria-hidden="true"]')
        || !element.checkVisibility({ checkOpacity: true, checkVisibilityCSS: true })) return false;
    const box = element.getBoundingClientRect();
    const view = element.ownerDocument.defaultView;
    return box.width >= 1 && box.height >= 1 && box.right + view.scrollX > 0 && box.bottom + view.scrollY > 0;
  };
  const lines = [];
  let total = 0, block, line = '', visited = 0;
  const flush = () => {
    const text = line.replace(/\s+/g, ' ').trim().slice(0, Math.min(lineLimit, totalLimit - total));
    if (text) { lines.push(text); total += text.length; }
    line = '';
  };
  const full = () => total >= totalLimit || lines.length >= linesLimit || visited >= visitLimit;
  const read = (root, depth) => {
    const stack = [root];
    while (stack.length && !full()) {
      const node = stack.pop();
      ++visited;
      if (node.nodeType === Node.TEXT_NODE) {
        const element = node.parentElement;
        const data = node.data.length > nodeLimit ? node.data.slice(0, nodeLimit) : node.data;
        if (!element || skipped.has(element.tagName)) continue;
        // Space between inline parts ("3 <b>items</b> left") is the page's too.
        if (!data.trim()) { if (line && blockOf(element) === block) line += ' '; continue; }
        if (!seen(element)) continue;
        const owner = blockOf(element);
        if (owner !== block) { flush(); block = owner; }
        if (line.length < lineLimit) line += data;
        continue;
      }
      if (node.nodeType !== Node.ELEMENT_NODE && node.nodeType !== Node.DOCUMENT_FRAGMENT_NODE) continue;
      if (node.tagName === 'IFRAME' || node.tagName === 'FRAME') {
        let inner = null;
        try { inner = node.contentDocument; } catch (e) {}
        if (inner && inner.body && depth < 2 && seen(node)) { flush(); block = undefined; read(inner.body, depth + 1); }
        continue;
      }
      const children = node.shadowRoot ? [...node.shadowRoot.childNodes, ...node.childNodes] : [...node.childNodes];
      for (let i = children.length - 1; i >= 0; --i) stack.push(children[i]);
    }
  };
  const root = document.body || document.documentElement;
  if (root) read(root, 0);
  flush();
  return lines;
})())JS");

// Requests that stay open by design: waiting for them would always take the
// whole limit.
bool neverEnds(const QString &type)
{
    return type == QLatin1String("EventSource") || type == QLatin1String("Ping") || type == QLatin1String("Media")
        || type == QLatin1String("WebSocket");
}

QString bytesText(qint64 bytes)
{
    return QLocale(QLocale::English).toString(bytes);
}

} // namespace

namespace {

// The lines of `lines` that `others` does not account for, one equal line
// of `others` for each.
QStringList unmatched(const QStringList &lines, const QStringList &others)
{
    QHash<QString, int> counted;
    for (const QString &line : others)
        ++counted[line];
    QStringList left;
    for (const QString &line : lines) {
        auto seen = counted.find(line);
        if (seen != counted.end() && *seen > 0)
            --*seen;
        else
            left.append(line);
    }
    return left;
}

// `lines` under `heading`, each marked as the page's, as far as `room`
// allows (at least the beginning of one), with a note of what was left out.
// The page's lines are marked so that a page that prints one of the
// companion's own sentences cannot pass it off as the companion's.
QString quotedLines(const QString &heading, const QStringList &lines, qsizetype &room)
{
    QString part = heading;
    qsizetype kept = 0;
    for (; kept < lines.size(); ++kept) {
        const qsizetype size = 1 + pageLineMark.size() + lines[kept].size();
        if (size > room)
            break;
        part += QLatin1Char('\n') + pageLineMark + lines[kept];
        room -= size;
    }
    if (kept == 0) {
        // One line longer than the room: its beginning.
        const QString beginning = lines.front().left(std::max<qsizetype>(room, 0));
        part += QLatin1Char('\n') + pageLineMark + beginning;
        room -= beginning.size();
        kept = 1;
    }
    if (kept < lines.size())
        part += QStringLiteral("\n[%1 cut: %2 more lines]")
                    .arg(heading == changedTextHeading ? QStringLiteral("changed text") : QStringLiteral("gone text"))
                    .arg(lines.size() - kept);
    return part;
}

} // namespace

QString changedTextSection(const QStringList &before, const QStringList &after, const QString &snapshot)
{
    QStringList fresh;
    for (const QString &line : unmatched(after, before)) {
        if (!snapshot.contains(QLatin1Char('"') + line + QLatin1Char('"')))
            fresh.append(line);
    }
    const QStringList gone = unmatched(before, after);
    // One budget for both, what is new first.
    qsizetype room = changedTextLimit;
    QStringList parts;
    if (!fresh.isEmpty())
        parts.append(quotedLines(changedTextHeading, fresh, room));
    if (!gone.isEmpty() && room > 0)
        parts.append(quotedLines(goneTextHeading, gone, room));
    return parts.join(QLatin1Char('\n'));
}

QString downloadSentence(const DownloadInfo &download)
{
    if (!download.finished)
        return QStringLiteral("Still downloading %1 into %2").arg(download.name, download.path);
    return QStringLiteral("Downloaded %1 (%2 bytes) to %3")
        .arg(download.name, bytesText(download.bytes), download.path);
}

QString companionDownloadsFolder()
{
    return platform::downloadsDir() + QStringLiteral("/Corvane");
}

struct ActionWatch::State {
    KeptConnection *kept = nullptr;
    std::unique_ptr<DevToolsSession> devTools;
    qint64 port = 0;
    QString targetId;
    QString page; // the tab's session
    int world = 0; // the companion's world in the current document; 0: none yet
    QSet<QString> frames;
    QSet<QString> requests;
    int loadingFrames = 0;
    bool dialogOpen = false; // the page stands still until someone answers it
    double lastNetwork = 0;
    QStringList before;
    bool beforeRead = false;
    QString downloadGuid;
    std::optional<DownloadInfo> download;

    std::optional<QJsonValue> evaluate(const QString &script)
    {
        if (world == 0) {
            const DevToolsReply made = devTools->call(QStringLiteral("Page.createIsolatedWorld"),
                                                      {{QStringLiteral("frameId"), targetId},
                                                       {QStringLiteral("worldName"), QStringLiteral("corvane")}},
                                                      page);
            if (!made.ok)
                return std::nullopt;
            world = made.result.value(QStringLiteral("executionContextId")).toInt();
        }
        const DevToolsReply reply = devTools->call(QStringLiteral("Runtime.evaluate"),
                                                   {{QStringLiteral("expression"), script},
                                                    {QStringLiteral("contextId"), world},
                                                    {QStringLiteral("returnByValue"), true},
                                                    {QStringLiteral("timeout"), 2000}},
                                                   page);
        const QJsonObject result = reply.result.value(QStringLiteral("result")).toObject();
        if (!reply.ok || reply.result.contains(QStringLiteral("exceptionDetails"))
            || !result.contains(QStringLiteral("value"))) {
            world = 0; // the document it lived in is gone
            return std::nullopt;
        }
        return result.value(QStringLiteral("value"));
    }

    QStringList visibleText()
    {
        QStringList lines;
        for (const QJsonValue &line : evaluate(visibleTextScript).value_or(QJsonValue()).toArray())
            lines.append(line.toString());
        return lines;
    }

    void take(const DevToolsEvent &event)
    {
        const QJsonObject &p = event.params;
        const QString &method = event.method;
        if (event.sessionId.isEmpty()) {
            takeBrowserEvent(method, p);
            return;
        }
        if (event.sessionId != page)
            return;
        if (method == QLatin1String("Network.requestWillBeSent")) {
            if (!neverEnds(p.value(QStringLiteral("type")).toString()))
                requests.insert(p.value(QStringLiteral("requestId")).toString());
            lastNetwork = platform::monotonicSeconds();
        } else if (method == QLatin1String("Network.loadingFinished")
                   || method == QLatin1String("Network.loadingFailed")) {
            if (requests.remove(p.value(QStringLiteral("requestId")).toString()))
                lastNetwork = platform::monotonicSeconds();
        } else if (method == QLatin1String("Page.frameStartedLoading")) {
            ++loadingFrames;
            frames.insert(p.value(QStringLiteral("frameId")).toString());
        } else if (method == QLatin1String("Page.frameStoppedLoading")) {
            loadingFrames = std::max(0, loadingFrames - 1);
        } else if (method == QLatin1String("Page.javascriptDialogOpening")) {
            dialogOpen = true;
        } else if (method == QLatin1String("Page.frameAttached")) {
            frames.insert(p.value(QStringLiteral("frameId")).toString());
        } else if (method == QLatin1String("Page.frameNavigated")) {
            const QJsonObject frame = p.value(QStringLiteral("frame")).toObject();
            if (frame.value(QStringLiteral("id")).toString() == targetId)
                world = 0;
        }
    }

    void takeBrowserEvent(const QString &method, const QJsonObject &p)
    {
        const QString guid = p.value(QStringLiteral("guid")).toString();
        if (method == QLatin1String("Browser.downloadWillBegin")) {
            // Only the work's own: a download of the person's tabs is theirs.
            if (!frames.contains(p.value(QStringLiteral("frameId")).toString()) || download)
                return;
            downloadGuid = guid;
            download = DownloadInfo {};
            download->name = p.value(QStringLiteral("suggestedFilename")).toString();
            download->path = chromeDownloadsText;
            companionLog(QStringLiteral("download.start"), {});
        } else if (method == QLatin1String("Browser.downloadProgress") && download && guid == downloadGuid) {
            const QString state = p.value(QStringLiteral("state")).toString();
            download->bytes = static_cast<qint64>(p.value(QStringLiteral("receivedBytes")).toDouble());
            if (state == QLatin1String("completed")) {
                download->finished = true;
                const QString file = p.value(QStringLiteral("filePath")).toString();
                if (!file.isEmpty()) {
                    // Chrome saved it where it saves everything, under a name
                    // it made safe; the work's file moves to the companion's
                    // folder, next to what is there, never over it.
                    download->path = file;
                    download->name = file.section(QLatin1Char('/'), -1);
                    const QString folder = companionDownloadsFolder();
                    const QString moved = platform::makePrivateDir(folder)
                        ? platform::moveIntoFolder(file, folder, download->name)
                        : QString();
                    if (!moved.isEmpty()) {
                        download->path = moved;
                        download->name = moved.section(QLatin1Char('/'), -1);
                    }
                }
                companionLog(QStringLiteral("download.done"),
                             {{QStringLiteral("bytes"), QString::number(download->bytes)}});
            } else if (state == QLatin1String("canceled")) {
                companionLog(QStringLiteral("download.cancelled"), {});
                download.reset();
            }
        }
    }

    void takeWaitingEvents(double wait)
    {
        for (std::optional<DevToolsEvent> event = devTools->nextEvent(wait); event; event = devTools->nextEvent(0))
            take(*event);
    }
};

KeptConnection::KeptConnection() = default;
KeptConnection::~KeptConnection() = default;

std::unique_ptr<DevToolsSession> KeptConnection::take(qint64 port)
{
    std::unique_ptr<DevToolsSession> session;
    {
        std::lock_guard guard(lock_);
        if (port_ != port)
            return nullptr; // the other port's connection stays until replaced
        session = std::move(session_);
    }
    return session && session->alive() ? std::move(session) : nullptr;
}

void KeptConnection::keep(std::unique_ptr<DevToolsSession> session, qint64 port)
{
    std::lock_guard guard(lock_);
    std::swap(session_, session);
    port_ = port;
    // The one replaced closes as `session` goes, after the lock.
}

void KeptConnection::drop()
{
    std::unique_ptr<DevToolsSession> session;
    std::lock_guard guard(lock_);
    std::swap(session_, session);
    // It closes as `session` goes, after the lock.
}

ActionWatch::ActionWatch(KeptConnection &kept, qint64 port, const QString &targetId)
    : state_(std::make_unique<State>())
{
    State &s = *state_;
    s.kept = &kept;
    s.targetId = targetId;
    s.frames.insert(targetId);
    s.port = port;
    if (targetId.isEmpty())
        return;
    const auto attach = [&s, &targetId] {
        const DevToolsReply attached
            = s.devTools->call(QStringLiteral("Target.attachToTarget"),
                               {{QStringLiteral("targetId"), targetId}, {QStringLiteral("flatten"), true}});
        s.page = attached.result.value(QStringLiteral("sessionId")).toString();
        return attached.ok && !s.page.isEmpty();
    };
    // A kept connection may have ended with its Chrome: then a new one.
    s.devTools = kept.take(port);
    if (s.devTools && attach()) {
        s.devTools->forgetEvents(); // the earlier watch's
    } else {
        s.devTools = DevToolsSession::connect(port, connectLimit);
        if (!s.devTools || !attach()) {
            s.devTools.reset();
            return;
        }
    }
    // Chrome's download setting is the whole browser's, the person's tabs
    // included: it stays Chrome's own. The watch only hears of downloads,
    // and moves the work's own once Chrome has saved them.
    s.devTools->call(QStringLiteral("Browser.setDownloadBehavior"),
                     {{QStringLiteral("behavior"), QStringLiteral("default")},
                      {QStringLiteral("eventsEnabled"), true}});
    for (const QString &domain : {QStringLiteral("Network.enable"), QStringLiteral("Page.enable")})
        s.devTools->call(domain, {}, s.page);
    const DevToolsReply tree = s.devTools->call(QStringLiteral("Page.getFrameTree"), {}, s.page);
    for (const QJsonValue &child :
         tree.result.value(QStringLiteral("frameTree")).toObject().value(QStringLiteral("childFrames")).toArray())
        s.frames.insert(
            child.toObject().value(QStringLiteral("frame")).toObject().value(QStringLiteral("id")).toString());
    s.evaluate(quietWatcherScript);
    const std::optional<QJsonValue> before = s.evaluate(visibleTextScript);
    s.beforeRead = before.has_value();
    for (const QJsonValue &line : before.value_or(QJsonValue()).toArray())
        s.before.append(line.toString());
    s.lastNetwork = platform::monotonicSeconds();
}

ActionWatch::~ActionWatch()
{
    // The connection is kept only once it has left the tab and given the
    // user's Chrome its own download behaviour back.
    State &s = *state_;
    if (watching()
        && s.devTools->call(QStringLiteral("Target.detachFromTarget"), {{QStringLiteral("sessionId"), s.page}}, {}, 1.0)
               .ok
        && s.devTools
               ->call(QStringLiteral("Browser.setDownloadBehavior"),
                      {{QStringLiteral("behavior"), QStringLiteral("default")}}, {}, 1.0)
               .ok)
        s.kept->keep(std::move(s.devTools), s.port);
}

void ActionWatch::quietFromNow()
{
    if (!watching())
        return;
    state_->lastNetwork = platform::monotonicSeconds();
    state_->evaluate(QStringLiteral("globalThis.__cvWatch && (globalThis.__cvWatch.last = performance.now())"));
}

bool ActionWatch::watching() const
{
    return state_->devTools && state_->devTools->alive();
}

void ActionWatch::settle()
{
    if (!watching())
        return;
    State &s = *state_;
    const double until = platform::monotonicSeconds() + settleLimitSeconds;
    for (;;) {
        s.takeWaitingEvents(0);
        if (s.dialogOpen)
            return;
        // The reply comes after every event Chrome sent before it, so what
        // the action started is known once the queue is read.
        const double documentQuiet = s.evaluate(quietWatcherScript).value_or(QJsonValue(0)).toDouble() / 1000.0;
        s.takeWaitingEvents(0);
        if (s.dialogOpen)
            return;
        const double now = platform::monotonicSeconds();
        if (now >= until || !watching()) {
            if (watching())
                companionLog(QStringLiteral("settle.limit"),
                             {{QStringLiteral("limit_s"), QString::number(settleLimitSeconds)}});
            return;
        }
        const bool downloading = s.download && !s.download->finished;
        const bool busy = !s.requests.isEmpty() || s.loadingFrames > 0 || downloading;
        const double quiet = std::min(now - s.lastNetwork, documentQuiet);
        if (!busy && quiet >= settleQuietSeconds)
            return;
        s.takeWaitingEvents(std::min(busy ? pollEvery : settleQuietSeconds - quiet, until - now));
    }
}

QString ActionWatch::changedText(const QString &snapshot)
{
    if (!watching() || !state_->beforeRead)
        return {};
    return changedTextSection(state_->before, state_->visibleText(), snapshot);
}

std::optional<DownloadInfo> ActionWatch::download() const
{
    return state_->download;
}

} // namespace corvane
