// The dialogs that answer "Check for Updates…": one small window each, not
// modal, gone when closed.

#include "UpdateDialogs.h"

#include "QtPrinting.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPointer>

#include <gtest/gtest.h>

using namespace corvane;

namespace {

QList<QMessageBox *> openBoxes()
{
    QList<QMessageBox *> boxes;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible())
            boxes << box;
    }
    return boxes;
}

TEST(UpdateDialogs, EachOutcomeShowsOneWindowThatDoesNotBlock)
{
    platform::AppcastItem item;
    item.displayVersionString = QStringLiteral("0.2.0");
    UpdateDialogs dialogs;
    struct Case {
        const char *name;
        std::function<void()> show;
        QMessageBox::Icon icon;
        const char *text;
        const char *detail;
    } const cases[] = {
        {"up to date", [&] { dialogs.showUpdateNotFound(QStringLiteral("0.1.0")); }, QMessageBox::Information,
         "You’re up to date.", "Corvane Companion 0.1.0 is the newest version."},
        {"ready", [&] { dialogs.showUpdateReady(item); }, QMessageBox::Information, "Corvane Companion 0.2.0 is ready.",
         "It is installed once no browser job has run for ten minutes, or when you quit."},
        {"failed", [&] { dialogs.showUpdaterError(QStringLiteral("the feed answered HTTP 500")); },
         QMessageBox::Warning, "The update check did not succeed.", "the feed answered HTTP 500."},
    };
    QDir().mkpath(QStringLiteral(CORVANE_TEST_OUTPUT_DIR));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.show();
        const QList<QMessageBox *> boxes = openBoxes();
        ASSERT_EQ(boxes.size(), 1);
        QMessageBox *box = boxes[0];
        EXPECT_EQ(box->text(), QString::fromUtf8(c.text));
        EXPECT_EQ(box->informativeText(), QString::fromUtf8(c.detail));
        EXPECT_EQ(box->icon(), c.icon);
        EXPECT_EQ(box->windowTitle(), QStringLiteral("Corvane Companion"));
        EXPECT_FALSE(box->isModal());
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        box->grab().save(QStringLiteral(CORVANE_TEST_OUTPUT_DIR "/update-dialog-")
                         + QString::fromUtf8(c.name).replace(' ', '-') + QStringLiteral(".png"));
        const QPointer<QMessageBox> watched(box);
        box->button(QMessageBox::Ok)->click();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(watched.isNull()) << "closed dialogs are deleted";
    }
}

} // namespace
