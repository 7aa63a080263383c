#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <map>
#include <optional>

namespace corvane::test {

// One event as the log wrote it: its name and fields. Tests name the event
// and the fields that matter to them, never a whole line.
struct LoggedEvent {
    QString name;
    QMap<QString, QString> fields;

    QString operator[](const QString &key) const { return fields.value(key); }
    // This event, with every one of `wanted` holding its value.
    bool is(const QString &event, const QMap<QString, QString> &wanted = {}) const;
};

// An event line, with or without its time stamp, read back.
LoggedEvent loggedEvent(const QString &line);
QList<LoggedEvent> loggedEvents(const QStringList &lines);

// Points HOME and the XDG folders at a fresh temporary folder and clears the
// companion's own settings variables, but for allowing pages on 127.0.0.1
// (where tests serve them); everything is put back on destruction.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome &) = delete;
    TempHome &operator=(const TempHome &) = delete;

    QString path() const { return dir_.path(); }
    QString stateDir() const { return path() + QStringLiteral("/state"); }
    QString logDir() const { return stateDir() + QStringLiteral("/CorvaneCompanion"); }
    // The lines of "events.log" so far.
    QStringList events() const;
    // The lines of one event, such as "agent.end", in order.
    QStringList events(const QString &name) const;
    // The same events read back; all of them without a name.
    QList<LoggedEvent> logged(const QString &name = {}) const;
    // "status.json" as an object; empty when there is none.
    QJsonObject status() const;

private:
    QTemporaryDir dir_;
    std::map<QByteArray, std::optional<QByteArray>> saved_;
};

// The value of `name` in one event line, or empty.
QString eventField(const QString &line, const QString &name);

// Sets one environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const QString &value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    QByteArray name_;
    std::optional<QByteArray> old_;
};

QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &bytes);

} // namespace corvane::test
