#include "TempHome.h"

#include <QJsonDocument>
#include <QRegularExpression>

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace corvane::test {

namespace {

std::optional<QByteArray> currentValue(const char *name)
{
    if (!qEnvironmentVariableIsSet(name))
        return std::nullopt;
    return qgetenv(name);
}

void restore(const QByteArray &name, const std::optional<QByteArray> &value)
{
    if (value)
        qputenv(name.constData(), *value);
    else
        qunsetenv(name.constData());
}

const char *const clearedVariables[] = {
    "CORVANE_CHROME_USER_DATA_DIR", "CORVANE_CHROME_PROFILE", "CORVANE_CHROME_PORT",
    "CORVANE_CHROME_APP",           "CORVANE_CHROME_FLAGS",
};

} // namespace

TempHome::TempHome()
{
    const QString root = dir_.path();
    const std::pair<const char *, QString> folders[] = {
        {"HOME", root},
        {"XDG_CONFIG_HOME", root + QStringLiteral("/config")},
        {"XDG_DATA_HOME", root + QStringLiteral("/data")},
        {"XDG_STATE_HOME", root + QStringLiteral("/state")},
        {"XDG_RUNTIME_DIR", root + QStringLiteral("/run")},
    };
    for (const auto &[name, value] : folders) {
        saved_[name] = currentValue(name);
        QDir().mkpath(value);
        qputenv(name, QFile::encodeName(value));
    }
    QFile::setPermissions(root + QStringLiteral("/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    for (const char *name : clearedVariables) {
        saved_[name] = currentValue(name);
        qunsetenv(name);
    }
    // Test pages are served on 127.0.0.1, which the work opens only when allowed.
    saved_["CORVANE_LOCAL_ORIGINS"] = currentValue("CORVANE_LOCAL_ORIGINS");
    qputenv("CORVANE_LOCAL_ORIGINS", "http://127.0.0.1:*");
}

TempHome::~TempHome()
{
    for (const auto &[name, value] : saved_)
        restore(name, value);
}

ScopedEnv::ScopedEnv(const char *name, const QString &value)
    : name_(name)
    , old_(currentValue(name))
{
    qputenv(name, value.toUtf8());
}

ScopedEnv::~ScopedEnv()
{
    restore(name_, old_);
}

QStringList TempHome::events() const
{
    return QString::fromUtf8(readFile(logDir() + QStringLiteral("/events.log")))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList TempHome::events(const QString &name) const
{
    QStringList lines;
    for (const QString &line : events()) {
        if (line.section(QLatin1Char(' '), 1, 1) == name)
            lines.append(line);
    }
    return lines;
}

QJsonObject TempHome::status() const
{
    return QJsonDocument::fromJson(readFile(logDir() + QStringLiteral("/status.json"))).object();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QString eventField(const QString &line, const QString &name)
{
    return loggedEvent(line)[name];
}

LoggedEvent loggedEvent(const QString &line)
{
    // "[time stamp] name key=value key=value": the log writes the keys in
    // order, so a " key=" that does not come after the last one is part of a
    // value (which may hold spaces).
    static const QRegularExpression stamp(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\S+ )"));
    static const QRegularExpression key(QStringLiteral(R"( ([A-Za-z0-9_]+)=)"));
    QString rest = line;
    rest.remove(stamp);
    LoggedEvent event;
    const qsizetype nameEnd = rest.indexOf(QLatin1Char(' '));
    event.name = rest.left(nameEnd);
    if (nameEnd < 0)
        return event;
    QString last;
    qsizetype valueStart = -1;
    for (QRegularExpressionMatchIterator it = key.globalMatch(rest, nameEnd); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        if (!last.isEmpty() && match.captured(1) <= last)
            continue;
        if (!last.isEmpty())
            event.fields.insert(last, rest.mid(valueStart, match.capturedStart() - valueStart));
        last = match.captured(1);
        valueStart = match.capturedEnd();
    }
    if (!last.isEmpty())
        event.fields.insert(last, rest.mid(valueStart));
    return event;
}

QList<LoggedEvent> loggedEvents(const QStringList &lines)
{
    QList<LoggedEvent> events;
    for (const QString &line : lines)
        events.append(loggedEvent(line));
    return events;
}

bool LoggedEvent::is(const QString &event, const QMap<QString, QString> &wanted) const
{
    if (name != event)
        return false;
    for (auto it = wanted.begin(); it != wanted.end(); ++it) {
        if (!fields.contains(it.key()) || fields.value(it.key()) != it.value())
            return false;
    }
    return true;
}

QList<LoggedEvent> TempHome::logged(const QString &name) const
{
    return loggedEvents(name.isEmpty() ? events() : events(name));
}

} // namespace corvane::test
