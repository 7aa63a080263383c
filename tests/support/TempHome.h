#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <map>
#include <optional>

namespace corvane::test {

// Points HOME and the XDG folders at a fresh temporary folder and clears the
// companion's own settings variables; everything is put back on destruction.
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
    // "status.json" as an object; empty when there is none.
    QJsonObject status() const;

private:
    QTemporaryDir dir_;
    std::map<QByteArray, std::optional<QByteArray>> saved_;
};

// The value of `name` in one event line (up to the next space), or empty.
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
