// Draws the module's images into the folder given as the first argument
// (src/qml/image when run from the project root).
#include <QColor>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRandomGenerator>

namespace {

QImage disc(QColor fill, QColor rim)
{
    QImage image(24, 24, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(rim, 1.5));
    p.setBrush(fill);
    p.drawEllipse(QRectF(1.5, 1.5, 21, 21));
    return image;
}

QImage withMark(QImage image, QColor ink, void (*mark)(QPainter &))
{
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(ink, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(ink);
    mark(p);
    return image;
}

void cross(QPainter &p)
{
    p.drawLine(QPointF(8, 8), QPointF(16, 16));
    p.drawLine(QPointF(16, 8), QPointF(8, 16));
}

void bar(QPainter &p)
{
    p.drawLine(QPointF(7, 12), QPointF(17, 12));
}

void diagonalArrows(QPainter &p)
{
    p.drawLine(QPointF(8.5, 15.5), QPointF(15.5, 8.5));
    p.setPen(Qt::NoPen);
    p.drawPolygon(QPolygonF({QPointF(16.5, 7.5), QPointF(11.5, 8.2), QPointF(15.8, 12.5)}));
    p.drawPolygon(QPolygonF({QPointF(7.5, 16.5), QPointF(12.5, 15.8), QPointF(8.2, 11.5)}));
}

QImage beetle()
{
    QImage image(35, 34, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor purple(0x8e, 0x44, 0xad);
    p.setPen(QPen(purple, 2, Qt::SolidLine, Qt::RoundCap));
    // legs and feelers
    for (int i = 0; i < 3; ++i) {
        const qreal y = 14 + i * 6;
        p.drawLine(QPointF(11, y), QPointF(4, y - 3 + i * 3));
        p.drawLine(QPointF(24, y), QPointF(31, y - 3 + i * 3));
    }
    p.drawLine(QPointF(15, 7), QPointF(11, 2));
    p.drawLine(QPointF(20, 7), QPointF(24, 2));
    p.setPen(Qt::NoPen);
    p.setBrush(purple);
    p.drawEllipse(QRectF(12.5, 4.5, 10, 8)); // head
    p.drawEllipse(QRectF(9.5, 10.5, 16, 21)); // body
    p.setPen(QPen(Qt::white, 1.5));
    p.drawLine(QPointF(17.5, 12), QPointF(17.5, 30));
    return image;
}

QImage noise()
{
    QImage image(800, 600, QImage::Format_Grayscale8);
    QRandomGenerator rng(20261206);
    for (int y = 0; y < image.height(); ++y) {
        uchar *line = image.scanLine(y);
        for (int x = 0; x < image.width(); ++x)
            line[x] = static_cast<uchar>(96 + rng.bounded(64));
    }
    return image;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    const auto save = [&](const QImage &image, const char *name) {
        return image.save(out.filePath(QLatin1String(name)), "PNG");
    };
    const QColor red(0xe7, 0x4c, 0x3c), redRim(0xb0, 0x2a, 0x1e);
    const QColor darkRed(0xc0, 0x39, 0x2b), darkRedRim(0x7b, 0x1a, 0x12);
    const QColor amber(0xf5, 0xb0, 0x16), amberRim(0xc2, 0x85, 0x0c);
    const QColor green(0x2e, 0xcc, 0x71), greenRim(0x1e, 0x8e, 0x4e);
    const QColor ink(0x5a, 0x10, 0x0a), darkInk(0x1a, 0x05, 0x03), grey(0x33, 0x33, 0x33);

    bool ok = save(disc(red, redRim), "btn_close_normal.png");
    ok &= save(withMark(disc(red, redRim), ink, cross), "btn_close_hovered.png");
    ok &= save(withMark(disc(darkRed, darkRedRim), darkInk, cross), "btn_close_pushed.png");
    ok &= save(disc(amber, amberRim), "btn_min_normal.png");
    ok &= save(withMark(disc(amber, amberRim), grey, bar), "btn_min_hovered.png");
    ok &= save(withMark(disc(amber.darker(115), amberRim), darkInk, bar), "btn_min_pushed.png");
    ok &= save(disc(green, greenRim), "btn_max_normal.png");
    ok &= save(withMark(disc(green, greenRim), grey, diagonalArrows), "btn_max_hovered.png");
    ok &= save(withMark(disc(green.darker(115), greenRim), darkInk, diagonalArrows),
               "btn_max_pushed.png");
    ok &= save(beetle(), "btn_debug.png");
    ok &= save(noise(), "noise.png");
    return ok ? 0 : 1;
}
