#include "app/Pictures.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>

#include <algorithm>

namespace norvik {

namespace {

// A transparent, antialiased picture of the size asked for, drawn by `draw`
// on a grid of gridWidth x gridHeight units.
template <typename Draw>
QPixmap Picture(int width, int height, qreal dpr, qreal gridWidth, qreal gridHeight, Draw draw)
{
    dpr = std::max<qreal>(dpr, 1.0);
    QPixmap pixmap(qCeil(width * dpr), qCeil(height * dpr));
    // The painter then works in device-independent pixels.
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(width / gridWidth, height / gridHeight);
    draw(p);
    p.end();
    return pixmap;
}

} // namespace

QPixmap PaintLogo(int width, int height, qreal devicePixelRatio)
{
    return Picture(width, height, devicePixelRatio, 48.0, 48.0, [](QPainter &p) {
        // Badge.
        QLinearGradient badge(0, 0, 0, 48);
        badge.setColorAt(0, QColor(0x1f, 0x4e, 0x8c));
        badge.setColorAt(1, QColor(0x0b, 0x2a, 0x55));
        p.setPen(QPen(QColor(0x0b, 0x2a, 0x55), 1.5));
        p.setBrush(badge);
        p.drawEllipse(QRectF(1.5, 1.5, 45, 45));

        // Door leaf, slightly open.
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xf2, 0xf2, 0xf2));
        QPainterPath door;
        door.moveTo(13, 11);
        door.lineTo(27, 14);
        door.lineTo(27, 37);
        door.lineTo(13, 39);
        door.closeSubpath();
        p.drawPath(door);
        p.setBrush(QColor(0x1f, 0x4e, 0x8c));
        p.drawEllipse(QRectF(23, 24.5, 2.5, 2.5));

        // Card reader with its green lamp.
        p.setBrush(QColor(0xd9, 0xd9, 0xd9));
        p.drawRoundedRect(QRectF(31, 18, 7, 12), 1.5, 1.5);
        p.setBrush(QColor(0x2e, 0xcc, 0x40));
        p.drawEllipse(QRectF(33, 20, 3, 3));

        // The maker's initial.
        QFont font = p.font();
        font.setBold(true);
        font.setPixelSize(7);
        p.setFont(font);
        p.setPen(QColor(0xff, 0xc8, 0x3d));
        p.drawText(QRectF(29, 31, 11, 9), Qt::AlignCenter, QStringLiteral("N"));
    });
}

QPixmap PaintModemPicture(int width, int height, qreal devicePixelRatio)
{
    return Picture(width, height, devicePixelRatio, 47.0, 48.0, [](QPainter &p) {
        p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1.2));
        p.setBrush(QColor(0xc8, 0xcc, 0xd2));
        QPainterPath body;
        body.moveTo(4, 28);
        body.lineTo(43, 28);
        body.lineTo(45, 40);
        body.lineTo(2, 40);
        body.closeSubpath();
        p.drawPath(body);
        p.setPen(Qt::NoPen);
        const QColor lamps[] = {QColor(0x2e, 0xcc, 0x40), QColor(0xff, 0xc8, 0x3d), QColor(0x2e, 0xcc, 0x40),
                                QColor(0xd0, 0x30, 0x30)};
        for (int i = 0; i < 4; ++i) {
            p.setBrush(lamps[i]);
            p.drawEllipse(QRectF(9 + i * 8, 32, 3.5, 3.5));
        }
        // Handset resting on top.
        p.setPen(QPen(QColor(0x20, 0x20, 0x20), 5, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(QRectF(8, 8, 31, 26), 20 * 16, 140 * 16);
    });
}

QPixmap PaintSignalPicture(int width, int height, qreal devicePixelRatio)
{
    return Picture(width, height, devicePixelRatio, 24.0, 24.0, [](QPainter &p) {
        p.setPen(QPen(QColor(0x1f, 0x4e, 0x8c), 2, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        for (int i = 0; i < 3; ++i) {
            const double r = 5 + i * 5;
            p.drawArc(QRectF(4 - r, 20 - r, 2 * r, 2 * r), 0, 90 * 16);
        }
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x1f, 0x4e, 0x8c));
        p.drawEllipse(QRectF(2.5, 18.5, 3, 3));
    });
}

TPicture::TPicture(Painter painter, QSize size, QWidget *parent) : QWidget(parent), m_painter(painter)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(size);
}

void TPicture::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_painter(width(), height(), devicePixelRatioF()));
}

} // namespace norvik
