// The brush's size and strength ring: drawn over the picture in window pixels, a circle round
// its centre with the value it sets written beside the pointer. Fixed function only, like the
// rest of the paint: the numbers are a small picture that Qt draws and GL copies in.
#include <algorithm>
#include <cmath>

#include <GL/gl.h>

#include <QFont>
#include <QImage>
#include <QPainter>

#include "view/brush.h"
#include "view/view3d.h"
#include "view/view_owner.h"

namespace kavrin {

namespace {

void circle(const QPointF& centre, float radius, float alpha, float width) {
    glLineWidth(width);
    glColor4f(1.0f, 1.0f, 1.0f, alpha);
    glBegin(GL_LINE_LOOP);
    for (int i = 0; i < 96; ++i) {
        const double a = 2.0 * 3.14159265358979 * i / 96.0;
        glVertex2d(centre.x() + radius * std::cos(a), centre.y() + radius * std::sin(a));
    }
    glEnd();
}

// The text at the window position (top left, y down) of a view height pixels high; it stays
// inside the view, since GL skips a picture whose corner lies outside.
void label(const QString& text, QPointF at, int width, int height) {
    QFont font("Meiryo");
    font.setPixelSize(15);
    font.setBold(true);
    const QSize size = QFontMetrics(font).size(0, text) + QSize(10, 6);
    QImage picture(size, QImage::Format_RGBA8888);
    picture.fill(QColor(0, 0, 0, 160));
    {
        QPainter p(&picture);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(picture.rect(), Qt::AlignCenter, text);
    }
    at.setX(std::clamp(at.x(), 0.0, double(std::max(0, width - size.width()))));
    at.setY(std::clamp(at.y(), 0.0, double(std::max(0, height - size.height()))));
    // Rows go downwards from the corner, as the picture's do.
    glRasterPos2d(at.x(), at.y());
    glPixelZoom(1.0f, -1.0f);
    glDrawPixels(size.width(), size.height(), GL_RGBA, GL_UNSIGNED_BYTE, picture.constBits());
    glPixelZoom(1.0f, 1.0f);
}

}  // namespace

void view3d::draw_ring() {
    if (ring_ == ring::none) return;
    const brush& tool = owner_.tool();
    const bool size = ring_ == ring::size;
    const float radius = size ? pixels_for_space(current_projection(), height(), tool.space())
                              : tool.power() * strength_ring_pixels;
    // Window pixels of the device, y down; the ring's own coordinates are the widget's.
    const qreal ratio = devicePixelRatioF();
    const int w = int(width() * ratio), h = int(height() * ratio);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0.0, w, h, 0.0, -1.0, 1.0);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    const QPointF centre = ring_centre_ * ratio;
    if (!size) circle(centre, float(strength_ring_pixels * ratio), 0.35f, 1.0f);
    circle(centre, float(radius * ratio), 0.9f, 2.0f);
    const QString text = size ? "size " + QString::number(tool.space(), 'f', 3)
                              : "strength " + QString::number(tool.power(), 'f', 2);
    label(text, centre + QPointF(radius * ratio + 12.0, -10.0), w, h);
    // What follows in the frame (a pick) sets its own matrices.
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
}

}  // namespace kavrin
