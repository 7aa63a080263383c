#include "FakeAgentBrowser.h"

#include "TempHome.h"

#include "Processes.h"
#include "UserPaths.h"

#include <QDir>
#include <QFile>

#include <csignal>

namespace corvane::test {

namespace {

QString toolPath()
{
    return platform::homeDir() + QStringLiteral("/.local/bin/agent-browser");
}

QString runsPath()
{
    return platform::homeDir() + QStringLiteral("/agent-browser-runs.txt");
}

// The runner hands the tool its command on standard input, as the tool's
// batch command takes it, and the program's own options before "batch". The
// stand-in puts the command back in its arguments after the runner's four
// options, where the case scripts of the tests look for it ("$5" is the
// action word, or "--json" before it; program options follow the action
// word), and a JSON answer of the tool's own form goes back as the batch's
// array.
QString fakePreamble()
{
    return QStringLiteral(R"SH(#!/bin/sh
json=
case " $* " in *" batch --json"*) json=1 ;; esac
case " $* " in *" batch"*)
  words=$(/usr/bin/python3 -c '
import json, shlex, sys
batch = sys.argv.index("batch")
command = json.load(sys.stdin)[0]
command = command[:1] + sys.argv[5:batch] + command[1:]
if "--json" in sys.argv[batch:] and "--json" not in command:
    command = ["--json"] + command
print(" ".join(shlex.quote(word) for word in command))' "$@")
  eval "set -- \"\$1\" \"\$2\" \"\$3\" \"\$4\" $words" ;;
esac
echo "$*" >> '%1'
tool() {
%2
:
}
if [ -z "$json" ]; then
  tool "$@"
  exit $?
fi
out=$(tool "$@")
status=$?
printf '%s' "$out" | COMMAND="$*" /usr/bin/python3 -c '
import json, os, sys
text = sys.stdin.read()
try:
    answer = json.loads(text[text.index("{"):])
    assert isinstance(answer, dict)
except Exception:
    answer = {"success": False, "error": text}
row = {"command": os.environ["COMMAND"].split()[4:], "success": answer.get("success", True),
       "error": answer.get("error")}
if answer.get("data") is not None:
    row["result"] = answer["data"]
if "warning" in answer:
    row["warning"] = answer["warning"]
print(json.dumps([row], ensure_ascii=False))'
exit $status
)SH");
}

} // namespace

void installFakeAgentBrowser(const QString &body)
{
    QDir().mkpath(platform::homeDir() + QStringLiteral("/.local/bin"));
    QFile::remove(toolPath());
    QFile::remove(runsPath());
    const QString script = fakePreamble().arg(runsPath(), body);
    writeFile(toolPath(), script.toUtf8());
    QFile::setPermissions(toolPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QStringList fakeAgentBrowserRuns(bool withRunnerOptions)
{
    QStringList runs = QString::fromUtf8(readFile(runsPath())).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (!withRunnerOptions) {
        for (QString &run : runs)
            run = run.section(QLatin1Char(' '), 4);
    }
    return runs;
}

bool linkRealAgentBrowser()
{
    const QString real = QStringLiteral(CORVANE_TEST_AGENT_BROWSER);
    if (!platform::isExecutableFile(real))
        return false;
    QDir().mkpath(platform::homeDir() + QStringLiteral("/.local/bin"));
    QFile::remove(toolPath());
    return QFile::link(real, toolPath());
}

bool installRecordingAgentBrowser()
{
    const QString real = QStringLiteral(CORVANE_TEST_AGENT_BROWSER);
    if (!platform::isExecutableFile(real))
        return false;
    QDir().mkpath(platform::homeDir() + QStringLiteral("/.local/bin"));
    QFile::remove(toolPath());
    QFile::remove(runsPath());
    const QString script = QStringLiteral("#!/bin/sh\ntr '\\0' ' ' < /proc/$$/cmdline >> '%1'\necho >> '%1'\nexec '%2' \"$@\"\n")
                               .arg(runsPath(), real);
    return writeFile(toolPath(), script.toUtf8())
        && QFile::setPermissions(toolPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QStringList recordedCommandLines()
{
    return QString::fromUtf8(readFile(runsPath())).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void stopAgentBrowserSessions()
{
    // The tool keeps its session state under $XDG_RUNTIME_DIR when that is
    // set, else under $HOME.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    for (const QString &folder : {runtime + QStringLiteral("/agent-browser"), platform::homeDir() + QStringLiteral("/.agent-browser")}) {
        const QDir sessions(folder);
        const QStringList pidFiles = sessions.entryList({QStringLiteral("*.pid")}, QDir::Files);
        for (const QString &name : pidFiles) {
            bool ok = false;
            const int pid = QString::fromUtf8(readFile(sessions.filePath(name))).trimmed().toInt(&ok);
            if (ok && pid > 0)
                ::kill(pid, SIGTERM);
        }
    }
}

} // namespace corvane::test
