#include "TrayIcon.h"

#include "BoxedLogo.h"

#include <QApplication>
#include <QFont>
#include <QPainter>
#include <QPalette>

namespace corvane {

TrayIcon::TrayIcon(ActionHandler onAction)
    : onAction_(std::move(onAction))
{
    menu_.setAccessibleName(QStringLiteral("Corvane"));
    tray_.setContextMenu(&menu_);
    updateIcon();
    tray_.setToolTip(toolTip(QString()));
    QObject::connect(&tray_, &QSystemTrayIcon::messageClicked, &menu_,
                     [this] { onAction_(MenuAction::ShowWorkTab, {}); });
    tray_.show();
    QCoreApplication::instance()->installEventFilter(&paletteWatch_);
}

bool TrayIcon::PaletteWatch::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == QCoreApplication::instance() && event->type() == QEvent::ApplicationPaletteChange)
        tray_->updateIcon();
    return false;
}

TrayIcon::~TrayIcon()
{
    QCoreApplication::instance()->removeEventFilter(&paletteWatch_);
    tray_.hide();
}

void TrayIcon::notify(const QString &title, const QString &text)
{
    // Notification servers read the body as markup: the text is shown as it is.
    tray_.showMessage(title, text.toHtmlEscaped(), QSystemTrayIcon::Information, 15000);
}

bool TrayIcon::available()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QString TrayIcon::toolTip(const QString &title)
{
    const QString name = QStringLiteral("Corvane Companion");
    return title.isEmpty() ? name : name + QLatin1Char(' ') + title;
}

QImage TrayIcon::iconImage(int side, const QColor &colour, const QString &title)
{
    QImage image = boxedLogo(side);
    QPainter painter(&image);
    // A template image: the logo's shape in the colour of the surroundings.
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), colour);
    if (!title.isEmpty()) {
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal badge = side * 0.55;
        const QRectF circle(side - badge, side - badge, badge, badge);
        const bool error = title == menuBarErrorTitle || title.startsWith(QChar(0x26A0));
        painter.setPen(Qt::NoPen);
        painter.setBrush(error ? QColor(0xd0, 0x30, 0x30) : QColor(0x2f, 0x80, 0x3f));
        painter.drawEllipse(circle);
        QFont font = painter.font();
        font.setPixelSize(qMax(6, int(badge * 0.8)));
        font.setBold(true);
        painter.setFont(font);
        painter.setPen(Qt::white);
        // Only the symbol itself: "⚠︎" carries a variation selector.
        painter.drawText(circle, Qt::AlignCenter, title.left(1));
    }
    return image;
}

void TrayIcon::updateIcon()
{
    const QColor colour = QApplication::palette().color(QPalette::WindowText);
    QIcon icon;
    for (const int side : {16, 22, 32, 48, 64})
        icon.addPixmap(QPixmap::fromImage(iconImage(side, colour, title_)));
    tray_.setIcon(icon);
}

void TrayIcon::setTitle(const QString &title)
{
    if (title == title_)
        return;
    title_ = title;
    updateIcon();
    tray_.setToolTip(toolTip(title));
}

void TrayIcon::setMenu(const QList<MenuItem> &items)
{
    menu_.clear();
    for (const MenuItem &item : items) {
        if (item.separator) {
            menu_.addSeparator();
            continue;
        }
        QAction *action = menu_.addAction(item.title);
        action->setEnabled(item.enabled());
        if (item.checked) {
            action->setCheckable(true);
            action->setChecked(*item.checked);
        }
        if (!item.keyEquivalent.isEmpty())
            action->setShortcut(QKeySequence(QStringLiteral("Ctrl+") + item.keyEquivalent.toUpper()));
        if (item.enabled()) {
            const MenuAction what = item.action;
            const QString agent = item.agent;
            // Queued: the action refills this menu, which deletes the sender.
            QObject::connect(
                action, &QAction::triggered, &menu_, [this, what, agent] { onAction_(what, agent); },
                Qt::QueuedConnection);
        }
    }
}

} // namespace corvane
