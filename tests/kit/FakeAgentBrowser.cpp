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

// The runner hands the tool its commands on standard input, as the tool's
// batch command takes them, and the program's own options before "batch".
// The stand-in runs the case script once per command, with the command back
// in its arguments after the runner's four options ("$5" is the action word,
// or "--json" before it; program options follow the action word of a single
// command or of a screenshot). For a
// JSON batch it answers with the batch's array in the tool's own form: a
// JSON answer as it is, a text that opens with the failure mark as that
// error, a snapshot's text as that snapshot.
QString fakePreamble()
{
    return QStringLiteral(R"SH(#!/bin/sh
tool() {
%2
:
}
r1=$1 r2=$2 r3=$3 r4=$4
json=
case " $* " in *" batch --json"*) json=1 ;; esac
commands=$(/usr/bin/python3 -c '
import json, shlex, sys
batch = sys.argv.index("batch")
commands = json.load(sys.stdin)
for command in commands:
    if len(commands) == 1 or command[:1] == ["screenshot"]:
        command = command[:1] + sys.argv[5:batch] + command[1:]
    if "--json" in sys.argv[batch:] and "--json" not in command:
        command = ["--json"] + command
    print(" ".join(shlex.quote(word) for word in command))' "$@")
rows=
status=0
while IFS= read -r words; do
  eval "set -- \"\$r1\" \"\$r2\" \"\$r3\" \"\$r4\" $words"
  echo "$*" >> '%1'
  if [ -z "$json" ]; then
    tool "$@" < /dev/null
    exit $?
  fi
  out=$(tool "$@" < /dev/null)
  ran=$?
  [ $ran -eq 0 ] || status=$ran
  row=$(printf '%s' "$out" | COMMAND="$*" /usr/bin/python3 -c '
import json, os, sys
text = sys.stdin.read()
command = os.environ["COMMAND"].split()[4:]
try:
    answer = json.loads(text[text.index("{"):])
    assert isinstance(answer, dict)
except Exception:
    if text.strip().startswith("\u2717"):
        answer = {"success": False, "error": text.strip()[1:].strip()}
    elif "snapshot" in command[:2]:
        answer = {"success": True, "data": {"snapshot": text}}
    else:
        answer = {"success": False, "error": text}
row = {"command": command, "success": answer.get("success", True), "error": answer.get("error")}
if answer.get("data") is not None:
    row["result"] = answer["data"]
if "warning" in answer:
    row["warning"] = answer["warning"]
print(json.dumps(row, ensure_ascii=False))')
  rows="$rows${rows:+,}$row"
done <<EOF
$commands
EOF
printf '[%s]\n' "$rows"
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
    const QString script
        = QStringLiteral("#!/bin/sh\ntr '\\0' ' ' < /proc/$$/cmdline >> '%1'\necho >> '%1'\nexec '%2' \"$@\"\n")
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
    for (const QString &folder :
         {runtime + QStringLiteral("/agent-browser"), platform::homeDir() + QStringLiteral("/.agent-browser")}) {
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
