#include "driver/ChallengeCheck.h"

#include "chrome/DevToolsSession.h"
#include "chrome/PortCache.h"
#include "driver/DriverResult.h"
#include "driver/Job.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace corvane {

namespace {

// Runs in a world of the companion's own. Bounded: so many nodes, so much
// of each, two levels of same-origin frames.
const QString challengeScript = QStringLiteral(R"JS(((phrases) => {
  const readingSize = 11, nodeLimit = 20000, textLimit = 2000;
  const has = (text) => { const lower = text.slice(0, textLimit).toLowerCase(); return phrases.some((p) => lower.includes(p)); };
  const shown = (element) => {
    if (element.closest('[aria-hidden="true"]') || !element.checkVisibility({ checkOpacity: true, checkVisibilityCSS: true }))
      return false;
    const box = element.getBoundingClientRect();
    const view = element.ownerDocument.defaultView;
    if (box.width < 1 || box.height < 1 || box.right + view.scrollX <= 0 || box.bottom + view.scrollY <= 0) return false;
    return parseFloat(view.getComputedStyle(element).fontSize) >= readingSize;
  };
  let visited = 0;
  const search = (doc, depth) => {
    if (!doc || !doc.body) return false;
    const walker = doc.createTreeWalker(doc.body, NodeFilter.SHOW_TEXT);
    for (let node = walker.nextNode(); node && visited < nodeLimit; node = walker.nextNode(), ++visited) {
      if (node.parentElement && has(node.data) && shown(node.parentElement)) return true;
    }
    if (depth >= 2) return false;
    for (const frame of doc.querySelectorAll('iframe,frame')) {
      let inner = null;
      try { inner = frame.contentDocument; } catch (e) {}
      if (inner && shown(frame) && search(inner, depth + 1)) return true;
    }
    return false;
  };
  return has(document.title) || search(document, 0);
})(%1))JS");

} // namespace

std::optional<bool> pageShowsChallenge(qint64 port, const QString &targetId)
{
    if (targetId.isEmpty())
        return std::nullopt;
    const std::unique_ptr<DevToolsSession> devTools = DevToolsSession::connect(port, 2.0);
    if (!devTools)
        return std::nullopt;
    const DevToolsReply attached
        = devTools->call(QStringLiteral("Target.attachToTarget"),
                         {{QStringLiteral("targetId"), targetId}, {QStringLiteral("flatten"), true}});
    const QString page = attached.result.value(QStringLiteral("sessionId")).toString();
    if (!attached.ok || page.isEmpty())
        return std::nullopt;
    const DevToolsReply world = devTools->call(QStringLiteral("Page.createIsolatedWorld"),
                                               {{QStringLiteral("frameId"), targetId},
                                                {QStringLiteral("worldName"), QStringLiteral("corvane")}},
                                               page);
    const QString phrases = QString::fromUtf8(
        QJsonDocument(QJsonArray::fromStringList(needsYouPhrases())).toJson(QJsonDocument::Compact));
    const DevToolsReply reply
        = devTools->call(QStringLiteral("Runtime.evaluate"),
                         {{QStringLiteral("expression"), challengeScript.arg(phrases)},
                          {QStringLiteral("contextId"), world.result.value(QStringLiteral("executionContextId"))},
                          {QStringLiteral("returnByValue"), true},
                          {QStringLiteral("timeout"), 2000}},
                         page);
    devTools->call(QStringLiteral("Target.detachFromTarget"), {{QStringLiteral("sessionId"), page}}, {}, 1.0);
    const QJsonValue value = reply.result.value(QStringLiteral("result")).toObject().value(QStringLiteral("value"));
    if (!world.ok || !reply.ok || !value.isBool())
        return std::nullopt;
    return value.toBool();
}

bool needsYouOnPage(Job &job, const QString &text)
{
    return needsYou(text) && pageShowsChallenge(activeChromePort(false), lastWorkTarget(job.tabs())).value_or(true);
}

} // namespace corvane
