#pragma once

// The companion's logo: a black rounded square with two bars and a V cut out
// of it, drawn on demand at any size.

#include <QImage>

class QPainter;
class QRectF;

namespace corvane {

// Draws into `rect` of a painter whose origin is at the top left.
void drawBoxedLogo(QPainter &painter, const QRectF &rect);

// `side` × `side` pixels at a device pixel ratio of `scale`, transparent
// outside the square and in the glyph.
QImage boxedLogo(int side, qreal scale = 1.0);

} // namespace corvane
