#pragma once

// The status item on Linux: a tray icon with the logo, tinted to the
// palette's text colour, the short title drawn as a badge in its corner and
// repeated in the tool tip, and one menu that every refresh clears and
// refills (replacing the menu object misbehaves on some tray hosts).

#include "MenuPresenter.h"

#include <QImage>
#include <QMenu>
#include <QSystemTrayIcon>

namespace corvane {

class TrayIcon : public MenuPresenter {
public:
    explicit TrayIcon(ActionHandler onAction);
    ~TrayIcon() override;

    void setTitle(const QString &title) override;
    void setMenu(const QList<MenuItem> &items) override;
    void notify(const QString &title, const QString &text) override;

    static bool available();
    // The icon at `side` pixels: the logo in `colour` with `title` as a badge.
    static QImage iconImage(int side, const QColor &colour, const QString &title);
    static QString toolTip(const QString &title);

private:
    void updateIcon();

    // The logo follows the palette, as a template image follows the theme.
    class PaletteWatch : public QObject {
    public:
        explicit PaletteWatch(TrayIcon *tray)
            : tray_(tray)
        {
        }
        bool eventFilter(QObject *watched, QEvent *event) override;

    private:
        TrayIcon *tray_;
    };

    ActionHandler onAction_;
    PaletteWatch paletteWatch_ {this};
    QMenu menu_;
    QSystemTrayIcon tray_;
    QString title_;
};

} // namespace corvane
