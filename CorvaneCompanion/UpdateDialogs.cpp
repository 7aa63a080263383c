#include "UpdateDialogs.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

namespace corvane {

namespace {

enum class Tone { information, warning };

void show(Tone tone, const QString &text, const QString &detail)
{
    if (qobject_cast<QApplication *>(QCoreApplication::instance()) == nullptr) {
        std::fprintf(stderr, "%s %s\n", qPrintable(text), qPrintable(detail));
        return;
    }
    // Not modal, and no nested event loop: the menu and the jobs go on.
    auto *box = new QMessageBox(tone == Tone::warning ? QMessageBox::Warning : QMessageBox::Information,
                                QStringLiteral("Corvane Companion"), text, QMessageBox::Ok);
    box->setInformativeText(detail);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

} // namespace

void UpdateDialogs::showUpdateNotFound(const QString &currentVersion)
{
    show(Tone::information, QStringLiteral("You’re up to date."),
         QStringLiteral("Corvane Companion %1 is the newest version.").arg(currentVersion));
}

void UpdateDialogs::showUpdateReady(const platform::AppcastItem &item)
{
    show(Tone::information, QStringLiteral("Corvane Companion %1 is ready.").arg(item.displayVersionString),
         QStringLiteral("It is installed once no browser job has run for ten minutes, or when you quit."));
}

void UpdateDialogs::showUpdaterError(const QString &error)
{
    show(Tone::warning, QStringLiteral("The update check did not succeed."), error + QLatin1Char('.'));
}

} // namespace corvane
