// Draws the images of the main window form: the six page-bar icons, the two
// screen-button backgrounds and the application icon.
//
//   telvanor-make-icons [output-dir]      (default: the current directory)
//
// The page icons are laid on a 64 x 64 grid with transparent backgrounds so that
// the grey "selected" fill of a page button shows through them. The screen
// buttons carry their number as button text on top of the image, so the plain
// image is light (black text) and the selected one is a saturated blue (white
// text). Everything is plain vector drawing: no fonts, so the output does not
// depend on what is installed.

#include <QColor>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QRadialGradient>
#include <QRectF>
#include <QString>
#include <QTextStream>
#include <cmath>
#include <functional>

namespace {

const QColor ink(0x37, 0x47, 0x4f);     // dark slate: outlines
const QColor accent(0x1e, 0x88, 0xe5);  // blue: the "active" part of each symbol
const QColor warm(0xf5, 0xa6, 0x23);    // amber: sun, markers
const QColor alert(0xe5, 0x39, 0x35);   // red: centre marks
const QColor tally(0x43, 0xa0, 0x47);   // green: UMD strip

QPen strokePen(const QColor &c, qreal w)
{
    return QPen(c, w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

using Painter = std::function<void(QPainter &)>;

// Renders on a transparent image of the given size; `design` is the size of the
// coordinate system the painter function draws in.
QImage render(int w, int h, qreal designW, qreal designH, const Painter &draw)
{
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(w / designW, h / designH);
    draw(p);
    p.end();
    return img;
}

// A monitor: bezel with a screen area, neck and foot. Returns the screen rect.
QRectF drawMonitor(QPainter &p, const QRectF &body, qreal stroke)
{
    p.setPen(strokePen(ink, stroke));
    p.setBrush(Qt::white);
    p.drawRoundedRect(body, 3, 3);
    const qreal cx = body.center().x();
    p.setBrush(ink);
    p.setPen(Qt::NoPen);
    p.drawRect(QRectF(cx - 3, body.bottom() + stroke / 2, 6, 5));
    p.drawRoundedRect(QRectF(cx - 12, body.bottom() + 4 + stroke / 2, 24, 4), 2, 2);
    return body.adjusted(stroke + 2, stroke + 2, -stroke - 2, -stroke - 2);
}

// 2.png, Picture: a monitor showing a sun over a hill.
void drawPicture(QPainter &p)
{
    const QRectF screen = drawMonitor(p, QRectF(5, 8, 54, 40), 3.5);
    p.save();
    p.setClipRect(screen);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xe3, 0xf2, 0xfd));
    p.drawRect(screen);
    // hills
    QPainterPath hill;
    hill.moveTo(screen.left(), screen.bottom());
    hill.lineTo(screen.left() + 14, screen.top() + 16);
    hill.lineTo(screen.left() + 24, screen.top() + 24);
    hill.lineTo(screen.left() + 34, screen.top() + 12);
    hill.lineTo(screen.right(), screen.bottom());
    hill.closeSubpath();
    p.setBrush(accent);
    p.drawPath(hill);
    p.restore();
    // sun with rays
    const QPointF sun(screen.left() + 9, screen.top() + 8);
    p.setPen(strokePen(warm, 2));
    for (int i = 0; i < 8; ++i) {
        const double a = i * M_PI / 4;
        p.drawLine(sun + QPointF(std::cos(a) * 6, std::sin(a) * 6),
                   sun + QPointF(std::cos(a) * 8.5, std::sin(a) * 8.5));
    }
    p.setPen(Qt::NoPen);
    p.setBrush(warm);
    p.drawEllipse(sun, 4, 4);
}

// 3.png, Marker: an image frame with corner brackets, safety rectangle and a
// centre cross.
void drawMarker(QPainter &p)
{
    const QRectF frame(4, 10, 56, 44);
    p.setPen(strokePen(ink, 2));
    p.setBrush(Qt::white);
    p.drawRoundedRect(frame, 3, 3);
    // corner brackets
    p.setPen(strokePen(accent, 4));
    const QRectF in = frame.adjusted(6, 6, -6, -6);
    const qreal l = 10;
    p.drawPolyline(QPolygonF({QPointF(in.left(), in.top() + l), in.topLeft(), QPointF(in.left() + l, in.top())}));
    p.drawPolyline(QPolygonF({QPointF(in.right() - l, in.top()), in.topRight(), QPointF(in.right(), in.top() + l)}));
    p.drawPolyline(QPolygonF({QPointF(in.left(), in.bottom() - l), in.bottomLeft(), QPointF(in.left() + l, in.bottom())}));
    p.drawPolyline(QPolygonF({QPointF(in.right() - l, in.bottom()), in.bottomRight(), QPointF(in.right(), in.bottom() - l)}));
    // centre cross
    const QPointF c = frame.center();
    p.setPen(strokePen(alert, 3));
    p.drawLine(c + QPointF(-8, 0), c + QPointF(8, 0));
    p.drawLine(c + QPointF(0, -8), c + QPointF(0, 8));
}

// 5.png, Function: a scope screen with graticule and a waveform.
void drawFunction(QPainter &p)
{
    const QRectF scr(4, 8, 56, 48);
    p.setPen(strokePen(ink, 3.5));
    p.setBrush(QColor(0x26, 0x32, 0x38));
    p.drawRoundedRect(scr, 4, 4);
    const QRectF in = scr.adjusted(5, 5, -5, -5);
    p.setPen(QPen(QColor(0x60, 0x7d, 0x8b), 1));
    for (int i = 1; i < 4; ++i) {
        const qreal x = in.left() + in.width() * i / 4;
        p.drawLine(QPointF(x, in.top()), QPointF(x, in.bottom()));
    }
    for (int i = 1; i < 3; ++i) {
        const qreal y = in.top() + in.height() * i / 3;
        p.drawLine(QPointF(in.left(), y), QPointF(in.right(), y));
    }
    QPainterPath wave;
    for (int i = 0; i <= 60; ++i) {
        const qreal t = i / 60.0;
        const QPointF pt(in.left() + t * in.width(),
                         in.center().y() - std::sin(t * 2 * M_PI * 1.5) * in.height() * 0.36);
        if (i == 0)
            wave.moveTo(pt);
        else
            wave.lineTo(pt);
    }
    p.setBrush(Qt::NoBrush);
    p.setPen(strokePen(QColor(0x69, 0xf0, 0xae), 3));
    p.drawPath(wave);
}

// 1.png, Source: a signal arrow entering a box with input sockets.
void drawSource(QPainter &p)
{
    const QRectF box(26, 10, 34, 44);
    p.setPen(strokePen(ink, 3.5));
    p.setBrush(Qt::white);
    p.drawRoundedRect(box, 4, 4);
    // three sockets on the box face
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 3; ++i) {
        const QPointF c(box.right() - 9, box.top() + 10 + i * 12);
        p.setBrush(ink);
        p.drawEllipse(c, 4, 4);
        p.setBrush(i == 1 ? warm : Qt::white);
        p.drawEllipse(c, 1.8, 1.8);
    }
    // arrow into the box
    p.setPen(strokePen(accent, 5));
    p.drawLine(QPointF(4, 32), QPointF(34, 32));
    p.setPen(Qt::NoPen);
    p.setBrush(accent);
    p.drawPolygon(QPolygonF({QPointF(44, 32), QPointF(31, 22), QPointF(31, 42)}));
}

// 4.png, Audio: a loudspeaker with sound waves.
void drawAudio(QPainter &p)
{
    QPainterPath spk;
    spk.moveTo(6, 24);
    spk.lineTo(16, 24);
    spk.lineTo(30, 11);
    spk.lineTo(30, 53);
    spk.lineTo(16, 40);
    spk.lineTo(6, 40);
    spk.closeSubpath();
    p.setPen(strokePen(ink, 3.5));
    p.setBrush(ink);
    p.drawPath(spk);
    p.setBrush(Qt::NoBrush);
    p.setPen(strokePen(accent, 4));
    const QPointF c(30, 32);
    for (int i = 0; i < 3; ++i) {
        const qreal r = 9 + i * 8;
        p.drawArc(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), -45 * 16, 90 * 16);
    }
}

// 6.png, UMD: a screen with the under-monitor display strip and a tally lamp.
void drawUmd(QPainter &p)
{
    const QRectF scr(4, 5, 56, 34);
    p.setPen(strokePen(ink, 3.5));
    p.setBrush(Qt::white);
    p.drawRoundedRect(scr, 3, 3);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xe3, 0xf2, 0xfd));
    p.drawRect(scr.adjusted(5, 5, -5, -5));
    // the strip
    const QRectF strip(4, 44, 56, 15);
    p.setBrush(ink);
    p.drawRoundedRect(strip, 3, 3);
    // "text" on the strip
    p.setBrush(Qt::white);
    for (int i = 0; i < 2; ++i)
        p.drawRoundedRect(QRectF(strip.left() + 6 + i * 12, strip.top() + 5, 9, 5), 1.5, 1.5);
    // tally lamps
    p.setBrush(alert);
    p.drawEllipse(QPointF(strip.right() - 9, strip.center().y()), 4.5, 4.5);
    p.setBrush(tally);
    p.drawEllipse(QPointF(strip.right() - 21, strip.center().y()), 4.5, 4.5);
}

// 7.png / 8.png: screen-button background; stretched to about 41 x 31, so the
// border is drawn thick enough to survive the scaling.
Painter screenButton(bool selected)
{
    return [selected](QPainter &p) {
        const QRectF r(5, 5, 148, 152);
        QLinearGradient g(r.topLeft(), r.bottomLeft());
        if (selected) {
            g.setColorAt(0, QColor(0x42, 0xa5, 0xf5));
            g.setColorAt(1, QColor(0x15, 0x65, 0xc0));
        } else {
            g.setColorAt(0, QColor(0xfc, 0xfc, 0xfc));
            g.setColorAt(1, QColor(0xd9, 0xdd, 0xe0));
        }
        p.setPen(QPen(selected ? QColor(0x0d, 0x47, 0xa1) : QColor(0x90, 0x9a, 0xa0), 10));
        p.setBrush(g);
        p.drawRoundedRect(r, 22, 22);
    };
}

// window.png: a monitor showing colour bars, with a control knob in front.
void drawAppIcon(QPainter &p)
{
    // design grid 135 x 135
    const QRectF body(8, 14, 119, 84);
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawRoundedRect(body, 8, 8);
    p.drawRect(QRectF(58, 98, 19, 12));
    p.drawRoundedRect(QRectF(34, 108, 67, 9), 4, 4);
    const QRectF scr = body.adjusted(7, 7, -7, -7);
    const QColor bars[] = {QColor(192, 192, 192), QColor(192, 192, 0), QColor(0, 192, 192),
                           QColor(0, 192, 0),     QColor(192, 0, 192), QColor(192, 0, 0),
                           QColor(0, 0, 192)};
    const qreal bw = scr.width() / 7;
    for (int i = 0; i < 7; ++i) {
        p.setBrush(bars[i]);
        p.drawRect(QRectF(scr.left() + i * bw, scr.top(), bw + 0.5, scr.height() * 0.72));
    }
    p.setBrush(QColor(0x1a, 0x1a, 0x1a));
    p.drawRect(QRectF(scr.left(), scr.top() + scr.height() * 0.72, scr.width(), scr.height() * 0.28));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(scr.left() + bw, scr.top() + scr.height() * 0.78, bw * 1.5, scr.height() * 0.16));
    // knob
    const QPointF kc(104, 102);
    p.setBrush(Qt::white);
    p.drawEllipse(kc, 27, 27);
    QRadialGradient kg(kc + QPointF(-6, -6), 26);
    kg.setColorAt(0, QColor(0x64, 0xb5, 0xf6));
    kg.setColorAt(1, QColor(0x15, 0x65, 0xc0));
    p.setBrush(kg);
    p.drawEllipse(kc, 22, 22);
    // scale ticks around the knob and the pointer
    p.setPen(strokePen(Qt::white, 4));
    const double a = -M_PI / 4;  // pointer to the upper right
    p.drawLine(kc + QPointF(std::cos(a) * 5, std::sin(a) * 5),
               kc + QPointF(std::cos(a) * 17, std::sin(a) * 17));
}

bool save(const QImage &img, const QDir &dir, const QString &name)
{
    const QString path = dir.filePath(name);
    if (!img.save(path, "PNG")) {
        QTextStream(stderr) << "cannot write " << path << "\n";
        return false;
    }
    QTextStream(stdout) << path << " " << img.width() << "x" << img.height() << "\n";
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    if (!out.exists() && !QDir().mkpath(out.path()))
        return 1;

    bool ok = true;
    ok &= save(render(64, 64, 64, 64, drawSource), out, "1.png");
    ok &= save(render(64, 64, 64, 64, drawPicture), out, "2.png");
    ok &= save(render(64, 64, 64, 64, drawMarker), out, "3.png");
    ok &= save(render(64, 64, 64, 64, drawAudio), out, "4.png");
    ok &= save(render(64, 64, 64, 64, drawFunction), out, "5.png");
    ok &= save(render(64, 64, 64, 64, drawUmd), out, "6.png");
    ok &= save(render(158, 162, 158, 162, screenButton(false)), out, "7.png");
    ok &= save(render(157, 161, 158, 162, screenButton(true)), out, "8.png");
    ok &= save(render(135, 135, 135, 135, drawAppIcon), out, "window.png");
    ok &= save(render(128, 128, 135, 135, drawAppIcon), out, "telvanor.png");
    return ok ? 0 : 1;
}
