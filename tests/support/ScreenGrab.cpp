// Saves what an X display shows as a PNG, for tests that look at the tray:
//   corvane-screen-grab OUT.png

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: corvane-screen-grab OUT.png\n");
        return 2;
    }
    return QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
