// The drawn logo and the tray icon made from it, checked pixel by pixel at
// the smallest and the largest size, and written to test-output/ to look at.

#include "menu/CompanionMenu.h"

#include "BoxedLogo.h"
#include "TrayIcon.h"

#include <QDir>
#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

using namespace corvane;

namespace {

struct Spot {
    const char *where;
    double x, y; // in 512ths of the side
    bool opaque;
};

// Points well inside each region, in the logo's own 512 grid.
const Spot spots[] = {
    {"left bar", 145, 256, false},
    {"right bar", 367, 256, false},
    {"left arm of the V", 236, 300, false},
    {"right arm of the V", 276, 300, false},
    {"point of the V", 256, 350, false},
    {"body left of the glyph", 60, 256, true},
    {"body above the glyph", 256, 60, true},
    {"body below the glyph", 256, 450, true},
    {"between a bar and the V", 175, 200, true},
    {"inside the V", 256, 170, true},
    {"arm cut off by the clip", 186, 128, true},
    {"top left corner", 8, 8, false},
    {"top right corner", 504, 8, false},
    {"bottom left corner", 8, 504, false},
    {"bottom right corner", 504, 504, false},
};

int alphaAt(const QImage &image, double x, double y)
{
    const double scale = image.width() / 512.0;
    return qAlpha(image.pixel(int(x * scale), int(y * scale)));
}

// Opaque spots at least `solid`, clear ones at most `clear`.
void expectSpots(const QImage &image, const Spot *begin, const Spot *end, int solid, int clear)
{
    for (const Spot *spot = begin; spot != end; ++spot) {
        SCOPED_TRACE(spot->where);
        const int alpha = alphaAt(image, spot->x, spot->y);
        if (spot->opaque)
            EXPECT_GE(alpha, solid);
        else
            EXPECT_LE(alpha, clear);
    }
}

QString outputPath(const QString &name)
{
    const QString folder = QStringLiteral(CORVANE_TEST_OUTPUT_DIR);
    QDir().mkpath(folder);
    return folder + QLatin1Char('/') + name;
}

TEST(Logo, HolesAreClearAndTheBodyIsSolidAtEverySize)
{
    const QImage large = boxedLogo(512);
    ASSERT_EQ(large.size(), QSize(512, 512));
    expectSpots(large, std::begin(spots), std::end(spots), 255, 0);
    EXPECT_TRUE(large.save(outputPath(QStringLiteral("logo-512.png"))));

    // At 16 pixels each region is one or two pixels wide; antialiasing blurs
    // edges, so only clear majorities count.
    const QImage small = boxedLogo(16);
    ASSERT_EQ(small.size(), QSize(16, 16));
    const Spot smallSpots[] = {
        {"left bar", 4.5 * 32, 8 * 32, false},     {"right bar", 11.5 * 32, 8 * 32, false},
        {"body left", 1.5 * 32, 8 * 32, true},     {"body above", 8.5 * 32, 2.5 * 32, true},
        {"body below", 8.5 * 32, 13.5 * 32, true}, {"corner", 0, 0, false},
    };
    expectSpots(small, std::begin(smallSpots), std::end(smallSpots), 230, 40);
    EXPECT_TRUE(small.save(outputPath(QStringLiteral("logo-16.png"))));
}

TEST(Logo, OnlyBlackIsPainted)
{
    const QImage image = boxedLogo(64);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ASSERT_EQ(qRgb(qRed(image.pixel(x, y)), qGreen(image.pixel(x, y)), qBlue(image.pixel(x, y))),
                      qRgb(0, 0, 0));
}

TEST(TrayIconImage, TheLogoTakesTheTextColourAndTheTitleBecomesABadge)
{
    const QImage plain = TrayIcon::iconImage(64, Qt::white, QString());
    EXPECT_EQ(plain.pixel(8, 32), qRgba(255, 255, 255, 255));
    EXPECT_EQ(qAlpha(plain.pixel(18, 32)), 0);

    // The badge covers the bottom right corner, which is clear without it.
    EXPECT_EQ(qAlpha(plain.pixel(62, 62)), 0);
    for (const QString &title : {QStringLiteral("\u2713"), menuBarErrorTitle, QStringLiteral("\u26A0\uFE0E")}) {
        const QImage badged = TrayIcon::iconImage(64, Qt::white, title);
        EXPECT_EQ(qAlpha(badged.pixel(58, 58)), 255);
        EXPECT_NE(badged.pixel(58, 58), plain.pixel(58, 58));
    }
    EXPECT_EQ(TrayIcon::toolTip(QString()), QStringLiteral("Corvane Companion"));
    EXPECT_EQ(TrayIcon::toolTip(QStringLiteral("\u2713")), QStringLiteral("Corvane Companion \u2713"));

    // One sheet of the icons a user can see, to look at.
    const QStringList titles {QString(), QStringLiteral("\u2713"), QStringLiteral("\u2026"),
                              QStringLiteral("\u26A0\uFE0E"), menuBarErrorTitle};
    QImage sheet(64 * int(titles.size()) + 16, 80, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(QColor(0x30, 0x30, 0x30));
    QPainter painter(&sheet);
    for (int i = 0; i < titles.size(); ++i)
        painter.drawImage(8 + 64 * i, 8, TrayIcon::iconImage(48, Qt::white, titles[i]));
    painter.end();
    EXPECT_TRUE(sheet.save(outputPath(QStringLiteral("tray-icons.png"))));
}

} // namespace
