#include "desktop/icons.h"

#include <QPainter>
#include <QPainterPath>

namespace quorvel::desktop {

QPixmap DrawTrayPicture(bool activity, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, true);
    const qreal s = size;
    // Tile: the whole square minus a half-pixel so its edge falls on pixel centres.
    const QRectF tile(0.5, 0.5, s - 1.0, s - 1.0);
    p.setPen(QPen(activity ? QColor(0x8a, 0x4b, 0x00) : QColor(0x1d, 0x2b, 0x3a), 1.0));
    p.setBrush(activity ? QColor(0xff, 0xa7, 0x26) : QColor(0x2f, 0x4a, 0x66));
    p.drawRoundedRect(tile, s * 0.2, s * 0.2);

    // Bulb: a circle in the upper part, a neck and a base of two bars.
    const qreal r = s * 0.25;
    const QPointF centre(s * 0.5, s * 0.40);
    p.setPen(Qt::NoPen);
    if (activity) {
        // A soft glow behind the lit bulb.
        p.setBrush(QColor(255, 255, 220, 120));
        p.drawEllipse(centre, r * 1.45, r * 1.45);
    }
    p.setBrush(activity ? QColor(0xff, 0xfb, 0xe0) : QColor(0xc9, 0xd3, 0xdd));
    p.drawEllipse(centre, r, r);
    QPainterPath neck;
    neck.moveTo(centre.x() - r * 0.62, centre.y() + r * 0.7);
    neck.lineTo(centre.x() + r * 0.62, centre.y() + r * 0.7);
    neck.lineTo(centre.x() + r * 0.45, s * 0.70);
    neck.lineTo(centre.x() - r * 0.45, s * 0.70);
    neck.closeSubpath();
    p.drawPath(neck);

    // Base: whole-pixel bars so that they stay sharp at 16 px.
    const int barW = qMax(4, qRound(s * 0.30));
    const int barH = qMax(1, qRound(s * 0.07));
    const int left = (size - barW) / 2;
    int top = qRound(s * 0.72);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setBrush(activity ? QColor(0x5a, 0x30, 0x00) : QColor(0xe8, 0xee, 0xf4));
    for (int i = 0; i < 2 && top + barH <= size - 2; ++i) {
        p.drawRect(left, top, barW, barH);
        top += barH * 2;
    }
    return pixmap;
}

QIcon TrayPicture(bool activity) {
    QIcon icon;
    for (int size : kIconSizes) icon.addPixmap(DrawTrayPicture(activity, size));
    return icon;
}

}  // namespace quorvel::desktop
