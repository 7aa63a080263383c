#include "PagePatterns.h"

#include "LocalHttp.h"

#include "Dispatch.h"

#include <QElapsedTimer>
#include <QMap>
#include <QRegularExpression>

#include <atomic>

namespace corvane::test {

namespace {

std::atomic<bool> releaseHangs {false};

QByteArray longPage()
{
    QByteArray links;
    for (int i = 0; i < 5000; ++i)
        links += "<a href=\"#l" + QByteArray::number(i) + "\">Link number " + QByteArray::number(i) + "</a><br>";
    return "<!doctype html><title>Long</title>" + links;
}

QMap<QByteArray, QByteArray> patternPages(quint16 port)
{
    const QByteArray crossOrigin = "http://localhost:" + QByteArray::number(port);
    return {
        {"/confirm.html",
         "<!doctype html><title>Confirm</title>"
         "<button onclick=\"document.title = confirm('sure?') ? 'Answered yes' : 'Answered no'\">Ask</button>"},
        {"/alert.html",
         "<!doctype html><title>Alert</title>"
         "<button onclick=\"alert('hello'); document.title = 'After alert'\">Warn</button>"},
        {"/unload.html",
         "<!doctype html><title>Unload</title><button onclick=\"window.onbeforeunload = e => "
         "{ e.preventDefault(); e.returnValue = ''; }; this.textContent = 'Armed'\">Arm</button>"},
        {"/about.html", "<!doctype html><title>About</title><h1>About us</h1><button>About button</button>"},
        {"/links.html",
         "<!doctype html><title>Links</title><a href=\"/about.html\" target=\"_blank\">Open about</a>"
         "<button onclick=\"window.open('/popup.html', 'signin', 'width=400,height=400')\">Sign in</button>"
         "<script>addEventListener('message', e => { document.title = 'Signed in'; "
         "document.body.insertAdjacentHTML('beforeend', '<button>Welcome back</button>'); })</script>"},
        {"/popup.html",
         "<!doctype html><title>Popup</title><button>Popup button</button><script>"
         "setTimeout(() => { opener.postMessage('done', '*'); window.close(); }, 600)</script>"},
        {"/inner.html",
         "<!doctype html><title>Inner</title><input aria-label=\"Inner query\">"
         "<button onclick=\"parent.postMessage('sent ' + document.querySelector('input').value, '*')\">Inner "
         "send</button>"},
        {"/frames.html",
         "<!doctype html><title>Same origin frame</title><iframe src=\"/inner.html\"></iframe>"
         "<script>addEventListener('message', e => document.title = e.data)</script>"},
        {"/cross.html",
         "<!doctype html><title>Cross origin frame</title><iframe src=\"" + crossOrigin
             + "/inner.html\"></iframe>"
               "<script>addEventListener('message', e => document.title = e.data)</script>"},
        {"/slow.html", "<!doctype html><title>Slow</title><button>Ready</button><img src=\"/hang\">"},
        {"/replace.html",
         "<!doctype html><title>Replace</title><button>Old button</button>"
         "<button onclick=\"document.body.innerHTML = '<button>Fresh button</button>'\">Replace</button>"},
        {"/long.html", longPage()},
        {"/download.html", "<!doctype html><title>Download</title><a href=\"/report.txt\" download>Get report</a>"},
    };
}

QByteArray answer(const QMap<QByteArray, QByteArray> &pages, const QByteArray &path)
{
    const QByteArray bare = path.split('?').front();
    if (bare == "/hang") {
        for (int i = 0; i < 600 && !releaseHangs; ++i)
            platform::sleepFor(0.1);
        return "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n";
    }
    if (bare == "/report.txt") {
        return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Disposition: attachment; "
               "filename=\"report.txt\"\r\n"
               "Content-Length: 6\r\nConnection: close\r\n\r\nreport";
    }
    return htmlPages(pages)(path);
}

// The element reference of a snapshot line such as `- button "Send" [ref=e2]`.
QString refOf(const QString &snapshot, const QString &role, const QString &name)
{
    const QRegularExpression line(QRegularExpression::escape(role + QStringLiteral(" \"") + name + QStringLiteral("\""))
                                  + QStringLiteral(R"([^\n]*\[ref=(e\d+)\])"));
    return line.match(snapshot).captured(1);
}

PatternStep open(const QByteArray &url, double bound = 4.0)
{
    return {"/open", {{"url", QString::fromLatin1(url)}}, {}, {}, bound};
}

PatternStep click(const char *role, const char *name, double bound = 4.0)
{
    return {"/click", {}, QString::fromLatin1(role), QString::fromLatin1(name), bound};
}

PatternStep fill(const char *name, const char *text)
{
    return {"/fill", {{"text", QString::fromLatin1(text)}}, QStringLiteral("textbox"), QString::fromLatin1(name), 4.0};
}

PatternStep cli(const char *command, double bound = 2.0)
{
    return {"/cli", {{"command", QString::fromLatin1(command)}}, {}, {}, bound};
}

PatternStep snapshot(double bound = 4.0)
{
    return {"/snapshot", {}, {}, {}, bound};
}

} // namespace

PatternSite::PatternSite()
{
    releaseHangs = false;
    auto pages = std::make_shared<QMap<QByteArray, QByteArray>>();
    server_ = std::make_unique<TestHttpServer>([pages](const QByteArray &path) { return answer(*pages, path); });
    *pages = patternPages(server_->port());
}

PatternSite::~PatternSite()
{
    releaseHangs = true;
}

// Bounds are each step's own waits plus 2 s: the runner's 20 s for a load
// that never ends, 9 s for a snapshot, the popup's 1.5 s.
QList<PagePattern> PatternSite::patterns() const
{
    return {
        {QStringLiteral("confirm dialog"), {open(url("/confirm.html")), snapshot(), click("button", "Ask", 2.0 + 2.0)}},
        {QStringLiteral("a job while it is open"), {snapshot(2.0)}},
        {QStringLiteral("confirm answered by cli"), {cli("dialog accept"), cli("get title")}},
        {QStringLiteral("alert"), {open(url("/alert.html")), snapshot(), click("button", "Warn"), cli("get title")}},
        {QStringLiteral("beforeunload on open"),
         {open(url("/unload.html")), snapshot(), click("button", "Arm"), open(url("/about.html"))}},
        {QStringLiteral("target=_blank"),
         {open(url("/links.html")), snapshot(), click("link", "Open about"), snapshot()}},
        {QStringLiteral("popup that closes itself"),
         {open(url("/links.html")), snapshot(), click("button", "Sign in"), cli("wait 1500", 3.5), snapshot()}},
        {QStringLiteral("same-origin frame form"),
         {open(url("/frames.html")), snapshot(), fill("Inner query", "inner"), snapshot(),
          click("button", "Inner send"), cli("get title")}},
        {QStringLiteral("cross-origin frame form"),
         {open(url("/cross.html")), snapshot(), fill("Inner query", "outer"), snapshot(), click("button", "Inner send"),
          cli("get title")}},
        {QStringLiteral("load never finishes"), {open(url("/slow.html"), 20.0 + 2.0), snapshot(9.0 + 2.0)}},
        {QStringLiteral("body replaced, stale ref"),
         {open(url("/replace.html")), snapshot(), click("button", "Replace"), click("button", "Old button")}},
        {QStringLiteral("5,000 links"), {open(url("/long.html")), snapshot(9.0 + 2.0)}},
        {QStringLiteral("download link"), {open(url("/download.html")), snapshot(), click("link", "Get report")}},
    };
}

PatternRun runPattern(const PagePattern &pattern, quint16 port)
{
    PatternRun run;
    QString latestSnapshot;
    for (const PatternStep &step : pattern.steps) {
        QJsonObject body = step.body;
        if (!step.role.isEmpty()) {
            const QString ref = refOf(latestSnapshot, step.role, step.name);
            if (ref.isEmpty()) {
                run.failure
                    = QStringLiteral("no %1 \"%2\" in\n%3").arg(step.role, step.name, latestSnapshot.left(2000));
                return run;
            }
            body.insert(QStringLiteral("ref"), ref);
        }
        QElapsedTimer took;
        took.start();
        const LocalReply reply = postJson(port, step.path, body);
        run.stepSeconds.append(took.elapsed() / 1000.0);
        run.seconds += run.stepSeconds.back();
        run.ok = reply.json().value(QStringLiteral("ok")).toBool();
        run.text = reply.json().value(QStringLiteral("text")).toString();
        if (step.path == "/snapshot")
            latestSnapshot = run.text;
    }
    return run;
}

} // namespace corvane::test
