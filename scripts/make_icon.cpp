// Draws the application icon, a weighing scale with its display, as a 256 x 256 PNG into
// the file given as the first argument (packaging/local.pelora.Pelora.png from the project
// root). Run by hand when it changes; its output is committed.
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

// One digit of a seven-segment display in the box r; segments a to g as bits 0 to 6.
void digit(QPainter &p, const QRectF &r, int segments)
{
    const qreal t = r.width() * 0.22; // stroke
    const qreal w = r.width(), h = r.height(), x = r.x(), y = r.y();
    const QRectF bars[7] = {
            {x + t * 0.5, y, w - t, t}, // a
            {x + w - t, y + t * 0.5, t, h / 2 - t * 0.5}, // b
            {x + w - t, y + h / 2, t, h / 2 - t * 0.5}, // c
            {x + t * 0.5, y + h - t, w - t, t}, // d
            {x, y + h / 2, t, h / 2 - t * 0.5}, // e
            {x, y + t * 0.5, t, h / 2 - t * 0.5}, // f
            {x + t * 0.5, y + h / 2 - t / 2, w - t, t}, // g
    };
    for (int i = 0; i < 7; ++i) {
        if (segments & (1 << i))
            p.drawRoundedRect(bars[i], t / 3, t / 3);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QString path = argc > 1 ? QString::fromLocal8Bit(argv[1])
                                  : QStringLiteral("local.pelora.Pelora.png");
    QImage image(256, 256, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    // The tile: the window's blue, lighter at the top.
    QLinearGradient tile(0, 16, 0, 240);
    tile.setColorAt(0, QColor(0x5b, 0x9b, 0xf8));
    tile.setColorAt(1, QColor(0x2a, 0x6b, 0xd9));
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(16, 16, 224, 224), 44, 44);

    // The platform on its post.
    p.setBrush(QColor(0xe8, 0xee, 0xf6));
    p.drawRoundedRect(QRectF(46, 58, 164, 22), 11, 11);
    p.drawRect(QRectF(118, 78, 20, 26));

    // The body, a trapezoid, with the display window in it.
    QPainterPath body;
    body.moveTo(62, 100);
    body.lineTo(194, 100);
    body.lineTo(214, 206);
    body.lineTo(42, 206);
    body.closeSubpath();
    p.setBrush(Qt::white);
    p.drawPath(body);
    p.setBrush(QColor(0x1f, 0x2a, 0x3a));
    p.drawRoundedRect(QRectF(70, 122, 116, 54), 8, 8);

    // "12.3" in green segments, as the stable badge shows it.
    p.setBrush(QColor(0x2e, 0xcc, 0x71));
    const int one = 0b0000110, two = 0b1011011, three = 0b1001111;
    digit(p, QRectF(82, 132, 22, 34), one);
    digit(p, QRectF(110, 132, 22, 34), two);
    p.drawEllipse(QRectF(136, 160, 7, 7));
    digit(p, QRectF(149, 132, 22, 34), three);

    // Two feet.
    p.setBrush(QColor(0xc9, 0xd6, 0xe8));
    p.drawRoundedRect(QRectF(58, 206, 34, 10), 4, 4);
    p.drawRoundedRect(QRectF(164, 206, 34, 10), 4, 4);
    p.end();
    return image.save(path, "PNG") ? 0 : 1;
}
