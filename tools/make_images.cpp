// Draws the program's images into a folder: the splash screen and its mask, the timeline button
// faces and one 38 x 38 icon per side-panel button, named after the button's object name.
//   kavrin_image_maker <folder>
#include <cmath>
#include <functional>
#include <map>

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>

namespace {

const QColor ink(0x3A, 0x32, 0x26);     // line colour on the cream side-panel buttons
const QColor accent(0xC8, 0x5A, 0x1E);  // one warm highlight per icon
const double pi = 3.14159265358979323846;

QImage canvas(int w, int h) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

QPen pen(const QColor& c, double width = 2.2) {
    return QPen(c, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void arrow_head(QPainter& p, QPointF tip, double angle_deg, double size = 5.0) {
    const double a = angle_deg * pi / 180.0;
    const QPointF back(-std::cos(a) * size, -std::sin(a) * size);
    const QPointF side(-std::sin(a) * size * 0.6, std::cos(a) * size * 0.6);
    QPainterPath head;
    head.moveTo(tip);
    head.lineTo(tip + back + side);
    head.lineTo(tip + back - side);
    head.closeSubpath();
    const QColor colour = p.pen().color();
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPath(head);
    p.restore();
}

// A line ending in an arrow head at b.
void arrow(QPainter& p, QPointF a, QPointF b, double head = 5.0) {
    const QPointF d = b - a;
    const double len = std::hypot(d.x(), d.y());
    const double angle = std::atan2(d.y(), d.x()) * 180.0 / pi;
    p.drawLine(a, b - d / len * head * 0.8);
    arrow_head(p, b, angle, head);
}

void dot(QPainter& p, QPointF c, double r, const QColor& colour) {
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(c, r, r);
    p.restore();
}

// A small box (cache) with an open top.
void crate(QPainter& p) {
    p.drawRoundedRect(QRectF(8, 20, 22, 12), 2, 2);
    for (double x : {13.0, 19.0, 25.0})
        dot(p, QPointF(x, 26), 1.6, ink);
}

void camera_body(QPainter& p, double y = 14) {
    p.drawRoundedRect(QRectF(6, y, 19, 13), 2, 2);
    QPolygonF lens;
    lens << QPointF(25, y + 4) << QPointF(32, y) << QPointF(32, y + 13) << QPointF(25, y + 9);
    p.drawPolygon(lens);
}

void cube(QPainter& p, double x, double y, double s) {
    const double d = s * 0.4;
    p.drawRect(QRectF(x, y + d, s, s));
    QPolygonF top;
    top << QPointF(x, y + d) << QPointF(x + d, y) << QPointF(x + s + d, y) << QPointF(x + s, y + d);
    p.drawPolyline(top);
    p.drawLine(QPointF(x + s + d, y), QPointF(x + s + d, y + s));
    p.drawLine(QPointF(x + s + d, y + s), QPointF(x + s, y + s + d));
}

void curl(QPainter& p, QPointF c, double r, double from, double span) {
    QRectF box(c.x() - r, c.y() - r, 2 * r, 2 * r);
    p.drawArc(box, int(from * 16), int(span * 16));
    // Arc angles run counter-clockwise with y up; the head follows the direction of travel.
    const double end = (from + span) * pi / 180.0;
    const QPointF tip(c.x() + r * std::cos(end), c.y() - r * std::sin(end));
    const double sign = span > 0 ? 1.0 : -1.0;
    const double heading = std::atan2(-std::cos(end) * sign, -std::sin(end) * sign);
    arrow_head(p, tip, heading * 180.0 / pi, 5.0);
}

std::map<QString, std::function<void(QPainter&)>> icons() {
    std::map<QString, std::function<void(QPainter&)>> all;
    all["brush_normal"] = [](QPainter& p) {
        p.drawArc(QRectF(4, 22, 30, 20), 20 * 16, 140 * 16);
        p.setPen(pen(accent));
        arrow(p, QPointF(19, 22), QPointF(19, 6));
    };
    all["brush_grab"] = [](QPainter& p) {
        for (int i = 0; i < 3; ++i)
            dot(p, QPointF(8 + i * 4, 27 - i * 4), 2.4 - i * 0.4, ink);
        p.setPen(pen(accent));
        arrow(p, QPointF(17, 19), QPointF(31, 7));
    };
    all["brush_converge"] = [](QPainter& p) {
        const QPointF c(19, 19);
        for (int k = 0; k < 4; ++k) {
            const double a = (45 + 90 * k) * pi / 180.0;
            const QPointF dir(std::cos(a), std::sin(a));
            arrow(p, c + dir * 15, c + dir * 6, 4.5);
        }
        dot(p, c, 2.5, accent);
    };
    all["brush_remove"] = [](QPainter& p) {
        for (int i = 0; i < 4; ++i) {
            QColor c = ink;
            c.setAlphaF(1.0 - i * 0.25);
            dot(p, QPointF(7 + i * 5.5, 24 - (i % 2) * 6), 2.6, c);
        }
        p.setPen(pen(accent));
        p.drawLine(QPointF(24, 6), QPointF(32, 14));
        p.drawLine(QPointF(32, 6), QPointF(24, 14));
    };
    all["brush_scale"] = [](QPainter& p) {
        p.drawEllipse(QPointF(11, 27), 3.5, 3.5);
        p.drawEllipse(QPointF(25, 13), 7.5, 7.5);
        p.setPen(pen(accent, 1.8));
        arrow(p, QPointF(14, 24), QPointF(19.5, 18.5), 4.0);
    };
    all["brush_hard"] = [](QPainter& p) {
        p.save();
        p.setPen(Qt::NoPen);
        QRadialGradient soft(QPointF(12, 19), 9);
        soft.setColorAt(0.0, ink);
        soft.setColorAt(1.0, Qt::transparent);
        p.setBrush(soft);
        p.drawEllipse(QPointF(12, 19), 9, 9);
        p.restore();
        dot(p, QPointF(27, 19), 7, ink);
        p.setPen(pen(accent, 1.6));
        p.drawEllipse(QPointF(27, 19), 7, 7);
    };
    all["brush_mirror"] = [](QPainter& p) {
        p.save();
        p.setPen(QPen(ink, 1.4, Qt::DashLine));
        p.drawLine(QPointF(19, 4), QPointF(19, 34));
        p.restore();
        dot(p, QPointF(26, 25), 2.6, ink);
        dot(p, QPointF(12, 25), 2.6, ink);
        p.setPen(pen(accent));
        arrow(p, QPointF(26, 25), QPointF(33, 11), 4.5);
        arrow(p, QPointF(12, 25), QPointF(5, 11), 4.5);
    };
    all["cache_onion_skin"] = [](QPainter& p) {
        // The frame before in a cool tint, the frame after in a warm one, the current on top.
        const std::pair<double, QColor> frames[] = {{10.0, QColor(0x40, 0x8C, 0xFF, 0x90)},
                                                    {28.0, QColor(0xFF, 0x80, 0x26, 0x90)},
                                                    {19.0, ink}};
        for (const auto& [x, colour] : frames) {
            p.save();
            p.setPen(pen(colour, 2.0));
            p.drawEllipse(QPointF(x, 19), 7.5, 7.5);
            p.restore();
        }
    };
    all["cache_export"] = [](QPainter& p) {
        crate(p);
        p.setPen(pen(accent));
        arrow(p, QPointF(19, 18), QPointF(19, 4));
    };
    all["cache_override"] = [](QPainter& p) {
        crate(p);
        p.setPen(pen(accent, 2.0));
        curl(p, QPointF(19, 10), 6, 200, -260);
    };
    all["cache_import"] = [](QPainter& p) {
        crate(p);
        p.setPen(pen(accent));
        arrow(p, QPointF(19, 3), QPointF(19, 18));
    };
    all["cache_log"] = [](QPainter& p) {
        // A written sheet: the record of the strokes.
        p.drawRoundedRect(QRectF(9, 5, 17, 26), 2, 2);
        for (double y : {11.0, 16.0, 21.0})
            p.drawLine(QPointF(13, y), QPointF(22, y));
        p.setPen(pen(accent, 2.0));
        QPainterPath squiggle;
        squiggle.moveTo(14, 29);
        squiggle.cubicTo(QPointF(20, 22), QPointF(24, 34), QPointF(32, 25));
        p.drawPath(squiggle);
    };
    all["cache_display"] = [](QPainter& p) {
        const std::pair<QPointF, double> balls[] = {
            {QPointF(12, 24), 6.0}, {QPointF(25, 23), 5.0}, {QPointF(19, 12), 5.5}};
        for (const auto& [c, r] : balls) {
            QRadialGradient g(c - QPointF(r * 0.4, r * 0.4), r * 1.4);
            g.setColorAt(0.0, QColor(0xFF, 0xF8, 0xE8));
            g.setColorAt(1.0, ink);
            p.save();
            p.setPen(Qt::NoPen);
            p.setBrush(g);
            p.drawEllipse(c, r, r);
            p.restore();
        }
    };
    all["camera_import"] = [](QPainter& p) {
        camera_body(p, 18);
        p.setPen(pen(accent));
        arrow(p, QPointF(15, 2), QPointF(15, 15), 4.5);
    };
    all["camera_animation"] = [](QPainter& p) {
        camera_body(p, 12);
        p.setPen(pen(accent, 1.8));
        for (int i = 0; i < 3; ++i)
            p.drawLine(QPointF(6 + i * 8, 31), QPointF(10 + i * 8, 31));
    };
    all["camera_reset"] = [](QPainter& p) {
        camera_body(p, 13);
        p.setPen(pen(accent, 2.0));
        curl(p, QPointF(19, 20), 15, 150, -120);
    };
    all["camera_guide"] = [](QPainter& p) {
        const QPointF eye(5, 19);
        const QPointF corners[4] = {QPointF(31, 7), QPointF(33, 13), QPointF(33, 31),
                                    QPointF(31, 25)};
        p.setPen(pen(ink, 1.6));
        for (const QPointF& c : corners)
            p.drawLine(eye, c);
        p.setPen(pen(accent, 1.8));
        QPolygonF far;
        for (const QPointF& c : corners)
            far << c;
        p.drawPolygon(far);
    };
    all["geometry_import"] = [](QPainter& p) {
        cube(p, 6, 15, 14);
        p.setPen(pen(accent));
        arrow(p, QPointF(30, 3), QPointF(30, 17), 4.5);
    };
    all["geometry_visible"] = [](QPainter& p) {
        QPainterPath eye;
        eye.moveTo(4, 19);
        eye.quadTo(19, 5, 34, 19);
        eye.quadTo(19, 33, 4, 19);
        p.drawPath(eye);
        dot(p, QPointF(19, 19), 5, accent);
        dot(p, QPointF(19, 19), 2, ink);
    };
    all["demo_wine"] = [](QPainter& p) {
        QPainterPath glass;
        glass.moveTo(10, 5);
        glass.lineTo(28, 5);
        glass.quadTo(28, 20, 19, 21);
        glass.quadTo(10, 20, 10, 5);
        p.drawPath(glass);
        p.drawLine(QPointF(19, 21), QPointF(19, 31));
        p.drawLine(QPointF(13, 32), QPointF(25, 32));
        p.save();
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x8E, 0x1B, 0x2E));
        QPainterPath wine;
        wine.moveTo(11.5, 11);
        wine.lineTo(26.5, 11);
        wine.quadTo(26, 19, 19, 19.5);
        wine.quadTo(12, 19, 11.5, 11);
        p.drawPath(wine);
        p.restore();
    };
    all["demo_fireball"] = [](QPainter& p) {
        QPainterPath flame;
        flame.moveTo(19, 3);
        flame.cubicTo(28, 13, 31, 19, 29, 25);
        flame.cubicTo(27, 32, 11, 32, 9, 25);
        flame.cubicTo(7, 18, 14, 15, 19, 3);
        QRadialGradient g(QPointF(19, 24), 13);
        g.setColorAt(0.0, QColor(0xFF, 0xE0, 0x60));
        g.setColorAt(1.0, accent);
        p.save();
        p.setPen(pen(ink, 1.6));
        p.setBrush(g);
        p.drawPath(flame);
        p.restore();
    };
    auto counter = [](const QString& text) {
        return [text](QPainter& p) {
            for (int i = 0; i < 5; ++i)
                dot(p, QPointF(7 + i * 6, 8), 1.8, accent);
            QFont f("DejaVu Sans");
            f.setPixelSize(text.size() > 3 ? 11 : 13);
            f.setBold(true);
            p.setFont(f);
            p.drawText(QRectF(0, 14, 38, 20), Qt::AlignCenter, text);
        };
    };
    all["demo_100"] = counter("100");
    all["demo_10000"] = counter("10k");
    all["user_update"] = [](QPainter& p) {
        p.setPen(pen(ink, 2.0));
        curl(p, QPointF(19, 19), 12, 120, -300);
        p.setPen(pen(accent));
        arrow(p, QPointF(19, 11), QPointF(19, 27), 4.5);
    };
    return all;
}

// Faces of the timeline buttons: "start"/"stop" for playback, "off"/"on" for the two side
// buttons that stretch the brush to the scene's ends.
std::map<QString, std::function<void(QPainter&)>> timeline_faces() {
    std::map<QString, std::function<void(QPainter&)>> all;
    auto plate = [](QPainter& p, const QColor& fill) {
        p.save();
        p.setPen(Qt::NoPen);
        p.setBrush(fill);
        p.drawRoundedRect(QRectF(2, 2, 34, 34), 4, 4);
        p.restore();
    };
    all["timeline_start"] = [plate](QPainter& p) {
        plate(p, QColor(0xE4, 0xE4, 0xE4));
        QPolygonF play;
        play << QPointF(14, 10) << QPointF(28, 19) << QPointF(14, 28);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x33, 0x33, 0x33));
        p.drawPolygon(play);
    };
    all["timeline_stop"] = [plate](QPainter& p) {
        plate(p, QColor(0xFF, 0xC8, 0x3A));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x33, 0x33, 0x33));
        p.drawRect(QRectF(12, 12, 14, 14));
    };
    auto stretch = [plate](const QColor& fill, const QColor& line) {
        return [plate, fill, line](QPainter& p) {
            plate(p, fill);
            p.setPen(pen(line, 2.0));
            p.drawLine(QPointF(8, 11), QPointF(8, 27));
            p.drawLine(QPointF(30, 11), QPointF(30, 27));
            arrow(p, QPointF(19, 19), QPointF(12, 19), 4.5);
            arrow(p, QPointF(19, 19), QPointF(26, 19), 4.5);
        };
    };
    all["timeline_off"] = stretch(QColor(0xF1, 0xF1, 0xF1), QColor(0x88, 0x88, 0x88));
    all["timeline_on"] = stretch(QColor(0xFF, 0xC8, 0x3A), QColor(0x33, 0x33, 0x33));
    return all;
}

QPainterPath splash_shape(const QRectF& r) {
    QPainterPath shape;
    shape.addRoundedRect(r, 18, 18);
    return shape;
}

QImage splash(const QSize& size) {
    QImage image = canvas(size.width(), size.height());
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r(0, 0, size.width(), size.height());
    QLinearGradient back(0, 0, 0, r.height());
    back.setColorAt(0.0, QColor(0x1C, 0x1C, 0x22));
    back.setColorAt(1.0, QColor(0x06, 0x06, 0x08));
    p.fillPath(splash_shape(r), back);

    // The built-in fountain: particles rising from the left and falling to the ground line.
    const QPointF ground_left(40, r.height() - 70);
    p.setPen(QPen(QColor(0x55, 0x55, 0x55), 1));
    p.drawLine(ground_left, QPointF(r.width() - 40, ground_left.y()));
    for (int i = 0; i < 120; ++i) {
        const double t = i / 119.0;
        const double x = 60 + t * 340;
        const double y = ground_left.y() - 4 - 120 * (t * 1.6) * (1.0 - t * 0.8) + 8 * std::sin(i);
        if (y > ground_left.y() - 2) continue;
        const double shade = 0.45 + 0.55 * (1.0 - t);
        dot(p, QPointF(x, y), 2.0 + 1.5 * (1.0 - t),
            QColor::fromRgbF(float(shade), float(shade), float(shade * 0.95)));
    }

    QFont title("DejaVu Sans");
    title.setPixelSize(64);
    title.setBold(true);
    title.setLetterSpacing(QFont::AbsoluteSpacing, 4);
    p.setFont(title);
    p.setPen(QColor(0xF3, 0xED, 0xD9));
    p.drawText(QRectF(0, 30, r.width() - 36, 80), Qt::AlignRight | Qt::AlignVCenter, "Kavrin");
    QFont small("DejaVu Sans");
    small.setPixelSize(15);
    small.setLetterSpacing(QFont::AbsoluteSpacing, 1.5);
    p.setFont(small);
    p.setPen(QColor(0xC8, 0xB8, 0x90));
    p.drawText(QRectF(0, 104, r.width() - 40, 24), Qt::AlignRight, "particle sculpting");
    p.setPen(QColor(0x88, 0x88, 0x88));
    p.drawText(QRectF(0, r.height() - 46, r.width() - 40, 24), Qt::AlignRight, "Rev.0022");
    return image;
}

// White where the splash is cut away, black where it shows (the bits a bitmap mask keeps).
QImage mask(const QSize& size) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillPath(splash_shape(QRectF(0, 0, size.width(), size.height())), Qt::black);
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        QTextStream(stderr) << "usage: kavrin_image_maker <folder>\n";
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]) + "/";
    QDir().mkpath(folder);
    int failures = 0;
    auto save = [&](const QImage& image, const QString& name) {
        if (!image.save(folder + name + ".png")) {
            QTextStream(stderr) << "cannot write " << folder << name << ".png\n";
            ++failures;
        }
    };
    const QSize splash_size(480, 280);
    save(splash(splash_size), "splash");
    save(mask(splash_size), "mask");
    const auto faces = timeline_faces();
    const auto panel = icons();
    for (const auto* table : {&faces, &panel})
        for (const auto& [name, draw] : *table) {
            QImage image = canvas(38, 38);
            QPainter p(&image);
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(pen(ink));
            draw(p);
            p.end();
            save(image, name);
        }
    return failures == 0 ? 0 : 1;
}
