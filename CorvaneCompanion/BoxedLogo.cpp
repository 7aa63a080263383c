#include "BoxedLogo.h"

#include <QPainter>
#include <QPainterPath>

namespace corvane {

void drawBoxedLogo(QPainter &painter, const QRectF &rect)
{
    // Every measure is in 512ths of the side.
    const qreal u = rect.width() / 512.0;
    const auto at = [&](qreal x, qreal y) { return QPointF(rect.left() + x * u, rect.top() + y * u); };

    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    painter.drawRoundedRect(rect, 112 * u, 112 * u);

    painter.save();
    // What is painted from here on erases the square, leaving holes.
    painter.setCompositionMode(QPainter::CompositionMode_DestinationOut);
    painter.setClipRect(QRectF(at(121, 142), QSizeF(270 * u, 228 * u)));
    painter.fillRect(QRectF(at(121, 142), QSizeF(48 * u, 228 * u)), Qt::black);
    painter.fillRect(QRectF(at(343, 142), QSizeF(48 * u, 228 * u)), Qt::black);

    QPainterPath vee;
    vee.moveTo(at(181.3, 112));
    vee.lineTo(at(256, 370));
    vee.lineTo(at(330.7, 112));
    // The reference stroke: mitred joins, flat caps.
    QPen pen(Qt::black, 48 * u, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(vee);
    painter.restore();
}

QImage boxedLogo(int side, qreal scale)
{
    const int pixels = qMax(1, qRound(side * scale));
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        drawBoxedLogo(painter, QRectF(0, 0, pixels, pixels));
    }
    image.setDevicePixelRatio(scale);
    return image;
}

} // namespace corvane
