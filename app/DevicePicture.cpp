#include "DevicePicture.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace kvr {

namespace {

const QColor kBackground(211, 221, 231);
const QColor kCaseLight(236, 238, 232);
const QColor kCaseDark(176, 181, 172);
const QColor kCaseEdge(90, 96, 92);
const QColor kScreenFrame(48, 54, 60);
const QColor kScreenGlass(146, 178, 128);
const QColor kScreenText(28, 44, 24);
const QColor kKeyFace(70, 84, 104);
const QColor kKeyText(232, 236, 240);
const QColor kAccent(196, 48, 40);

void PaintCase(QPainter& p, const QRectF& body) {
    QLinearGradient shade(body.topLeft(), body.topRight());
    shade.setColorAt(0.0, kCaseDark);
    shade.setColorAt(0.18, kCaseLight);
    shade.setColorAt(0.82, kCaseLight);
    shade.setColorAt(1.0, kCaseDark);
    p.setPen(QPen(kCaseEdge, 1.5));
    p.setBrush(shade);
    p.drawRoundedRect(body, 14, 14);
}

void PaintScreen(QPainter& p, const QRectF& frame) {
    p.setPen(Qt::NoPen);
    p.setBrush(kScreenFrame);
    p.drawRoundedRect(frame, 5, 5);
    const QRectF glass = frame.adjusted(6, 6, -6, -6);
    QLinearGradient lit(glass.topLeft(), glass.bottomLeft());
    lit.setColorAt(0.0, kScreenGlass.lighter(112));
    lit.setColorAt(1.0, kScreenGlass);
    p.setBrush(lit);
    p.drawRect(glass);

    p.setPen(kScreenText);
    QFont big(QStringLiteral("Liberation Mono"));
    big.setPixelSize(19);
    big.setBold(true);
    p.setFont(big);
    p.drawText(glass.adjusted(4, 2, -4, -glass.height() / 2), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("0.347"));
    QFont small(QStringLiteral("Liberation Sans"));
    small.setPixelSize(9);
    p.setFont(small);
    p.drawText(glass.adjusted(4, glass.height() / 2, -4, -2), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("BOOT  v1.0"));
    p.drawText(glass.adjusted(4, glass.height() / 2, -4, -2), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("м³/ч"));
}

void PaintKeys(QPainter& p, const QRectF& area) {
    static const char* const kLabels[] = {"F", "▲", "OK", "◄", "▼", "►"};
    const int columns = 3;
    const qreal gap = 7;
    const qreal keyWidth = (area.width() - gap * (columns - 1)) / columns;
    const qreal keyHeight = (area.height() - gap) / 2;
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(11);
    font.setBold(true);
    p.setFont(font);
    for (int i = 0; i < 6; ++i) {
        const QRectF key(area.left() + (i % columns) * (keyWidth + gap),
                         area.top() + (i / columns) * (keyHeight + gap), keyWidth, keyHeight);
        p.setPen(QPen(kKeyFace.darker(150), 1));
        p.setBrush(i == 2 ? kAccent : kKeyFace);
        p.drawRoundedRect(key, 4, 4);
        p.setPen(kKeyText);
        p.drawText(key, Qt::AlignCenter, QString::fromUtf8(kLabels[i]));
    }
}

void PaintConnector(QPainter& p, const QRectF& body) {
    // Serial cable gland at the bottom edge.
    const qreal cx = body.center().x();
    const QRectF gland(cx - 16, body.bottom() - 2, 32, 14);
    p.setPen(QPen(kCaseEdge, 1));
    p.setBrush(kScreenFrame);
    p.drawRect(gland);
    QPainterPath cable;
    cable.moveTo(cx, gland.bottom());
    cable.cubicTo(cx, gland.bottom() + 10, cx + 30, gland.bottom() + 4, cx + 46,
                  gland.bottom() + 14);
    p.setPen(QPen(kScreenFrame, 6, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(cable);
}

void PaintDevice(QPainter& p, const QRectF& canvas) {
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(canvas, kBackground);
    const qreal sx = canvas.width() / kDevicePictureWidthPx;
    const qreal sy = canvas.height() / kDevicePictureHeightPx;
    p.save();
    p.translate(canvas.topLeft());
    p.scale(sx, sy);

    const QRectF body(14, 10, 134, 232);
    PaintConnector(p, body);
    PaintCase(p, body);

    QFont title(QStringLiteral("Liberation Sans"));
    title.setPixelSize(15);
    title.setBold(true);
    p.setFont(title);
    p.setPen(kCaseEdge.darker(140));
    p.drawText(QRectF(body.left(), body.top() + 8, body.width(), 20), Qt::AlignCenter,
               QStringLiteral("КВР-17"));

    PaintScreen(p, QRectF(body.left() + 12, body.top() + 34, body.width() - 24, 62));

    // Status lamps: power and link.
    p.setPen(QPen(kCaseEdge, 1));
    p.setBrush(QColor(60, 200, 80));
    p.drawEllipse(QPointF(body.left() + 22, body.top() + 110), 4, 4);
    p.setBrush(QColor(240, 170, 40));
    p.drawEllipse(QPointF(body.left() + 38, body.top() + 110), 4, 4);

    PaintKeys(p, QRectF(body.left() + 14, body.top() + 124, body.width() - 28, 62));

    p.setPen(kCaseEdge);
    QFont plate(QStringLiteral("Liberation Sans"));
    plate.setPixelSize(8);
    p.setFont(plate);
    p.drawText(QRectF(body.left(), body.bottom() - 36, body.width(), 14), Qt::AlignCenter,
               QStringLiteral("RS-232 / 115200"));
    // Screws.
    p.setBrush(kCaseDark);
    for (const QPointF& at :
         {QPointF(body.left() + 10, body.top() + 10), QPointF(body.right() - 10, body.top() + 10),
          QPointF(body.left() + 10, body.bottom() - 10),
          QPointF(body.right() - 10, body.bottom() - 10)}) {
        p.drawEllipse(at, 3, 3);
    }
    p.restore();
}

}  // namespace

QImage PaintDevicePicture() {
    QImage image(kDevicePictureWidthPx, kDevicePictureHeightPx, QImage::Format_RGB888);
    QPainter painter(&image);
    PaintDevice(painter, QRectF(image.rect()));
    return image;
}

QIcon DeviceIcon() {
    QIcon icon;
    for (int size : {16, 32, 64}) {
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        // The picture is taller than wide: keep its proportions inside the square.
        const qreal width = size * qreal(kDevicePictureWidthPx) / kDevicePictureHeightPx;
        PaintDevice(painter, QRectF((size - width) / 2, 0, width, size));
        painter.end();
        icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

}  // namespace kvr
