#include "view/timeline.h"

#include <algorithm>
#include <cmath>

#include <QFontMetricsF>
#include <QGraphicsItemGroup>
#include <QGraphicsLineItem>
#include <QGraphicsRectItem>
#include <QGraphicsSimpleTextItem>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QWheelEvent>

#include "scene/emitter.h"
#include "dynamics/frame_set.h"
#include "scene/frame_schedule.h"
#include "view/brush.h"
#include "view/view3d.h"
#include "view/view_owner.h"

namespace kavrin {

namespace {

// Frame states fill the strip under the frame number; the brush's reach covers only their
// upper half, so the state of the frames a stroke reaches stays readable below it.
const float band_top = 12.0f, band_bottom = 35.0f, reach_bottom = 24.0f;
// Frame numbers of the ticks stand in the strip's top band, above the frame states.
const int label_pixels = 9;
const float label_gap = 10.0f;  // pixels between two numbers at the least

// A band from frame edge a to b (in pixels), shaded towards its top.
void band(QGraphicsItemGroup* group, float a, float b, const QColor& colour, float alpha,
          float bottom_y = band_bottom) {
    QColor top = colour.lighter(125), bottom = colour;
    top.setAlphaF(alpha);
    bottom.setAlphaF(alpha);
    QLinearGradient g(0, band_top, 0, bottom_y);
    g.setColorAt(0.0, top);
    g.setColorAt(1.0, bottom);
    auto* rect = new QGraphicsRectItem(a, band_top, b - a, bottom_y - band_top);
    rect->setBrush(g);
    rect->setPen(Qt::NoPen);
    group->addToGroup(rect);
}

QColor rgb(double r, double g, double b) {
    return QColor::fromRgbF(float(r), float(g), float(b));
}

}  // namespace

timeline::timeline(view_owner& owner, QWidget* parent) : QGraphicsView(parent), owner_(owner) {
    setSizePolicy(sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setStyleSheet(
        "QGraphicsView{margin: 5 0px 5 0px; border-style: outset; background-color: "
        "#F1F1F1;border-radius: 3px; border-width: 1px; border-color: #333333; }");
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // The view never scrolls: its picture is redrawn around the marker instead, and a scrolled
    // view would no longer agree with the mouse-to-frame mapping.
    setFocusPolicy(Qt::NoFocus);
    // Every redraw replaces all items: a spatial index would only be rebuilt for nothing.
    scene_.setItemIndexMethod(QGraphicsScene::NoIndex);
    setScene(&scene_);
}

int timeline::frame_at(float x) const {
    return int(std::trunc((x - offset) / scale + float(owner_.link().current_frame) + 0.5f));
}

void timeline::mousePressEvent(QMouseEvent* event) {
    last_x_ = float(event->position().x());
    button(event, true);
}

void timeline::mouseReleaseEvent(QMouseEvent* event) {
    button(event, false);
}

void timeline::button(QMouseEvent* event, bool pressed) {
    window_link& link = owner_.link();
    if (pressed) owner_.set_camera_mode(held_keys(owner_).at("alt"));
    const Qt::MouseButton which = event->button();
    if (owner_.camera_mode()) {
        if (which == Qt::MiddleButton) {
            pan_held_ = pressed;
            if (pressed) link.log("timeline control / translate");
        } else if (which == Qt::RightButton) {
            zoom_held_ = pressed;
            if (pressed) link.log("timeline control / scale");
        }
        if (pressed && (which == Qt::MiddleButton || which == Qt::RightButton)) fitted = false;
    } else if (which == Qt::MiddleButton) {
        time_held_ = pressed;
        link.log("brush size time / " + QString::number(owner_.tool().time(), 'g', 6));
    } else if (which == Qt::LeftButton) {
        scrub_held_ = pressed;
        link.log("frame change");
        // A click jumps to the frame under the mouse; a drag goes on from there.
        if (pressed) {
            const int f = frame_at(float(event->position().x()));
            if (f != owner_.link().current_frame) Q_EMIT frame_change(f);
            redraw();
            owner_.redraw_soon();
        }
    }
    if (!pressed) owner_.set_camera_mode(false);
}

void timeline::mouseMoveEvent(QMouseEvent* event) {
    const float x = float(event->position().x());
    // One event moves by at most 100 pixels, however far the mouse jumped.
    const float d = std::clamp(x - last_x_, -100.0f, 100.0f);
    if (owner_.camera_mode()) {
        if (zoom_held_) {
            const float old = scale;
            scale += scale * d / 300.0f;
            if (redraw())
                last_x_ = x;
            else
                scale = old;  // too many frames or too wide: the zoom is refused
        } else if (pan_held_) {
            offset += d;
            last_x_ = x;
        }
    } else if (time_held_) {
        owner_.tool().drag_time(d / scale);
        last_x_ = x;
    } else if (scrub_held_) {
        Q_EMIT frame_change(frame_at(x));
    }
    redraw();
    // The viewport shows the new frame or brush reach at the window's next tick; a plain hover
    // changes nothing it shows.
    if (zoom_held_ || pan_held_ || time_held_ || scrub_held_) owner_.redraw_soon();
}

void timeline::keyPressEvent(QKeyEvent* event) {
    event->ignore();  // arrow and page keys would scroll the view; the window may use them
}

void timeline::wheelEvent(QWheelEvent* event) {
    event->ignore();
}

void timeline::resizeEvent(QResizeEvent* event) {
    QGraphicsView::resizeEvent(event);
    redraw();
}

void timeline::add_labels(float width, const QRectF& keep_clear) {
    labels_.clear();
    QFont font("Meiryo");
    font.setPixelSize(label_pixels);
    const QFontMetricsF metrics(font);
    const int current = owner_.link().current_frame;
    const int lo = frame_at(0.0f) - 1, hi = frame_at(width) + 1;
    const float widest = float(std::max(metrics.horizontalAdvance(QString::number(lo)),
                                        metrics.horizontalAdvance(QString::number(hi))));
    // The finest step whose numbers stand apart: the major ticks, or every few of them when
    // zoomed out. Zoomed in so far that the strip holds less than two major ticks (every frame
    // then has a tick), finer steps number the frames between them.
    const bool finer = scale > 3.0f && 30.0f * scale > width * 0.5f;
    static const int steps[] = {1,    2,    5,    10,    30,    60,    150,    300,    600,
                                1800, 3600, 9000, 18000, 36000, 90000, 180000, 360000, 900000};
    int step = 0;
    for (const int s : steps) {
        if (s < 30 && !finer) continue;
        if (float(s) * scale >= widest + label_gap) {
            step = s;
            break;
        }
    }
    if (step == 0) return;
    const QColor ink = rgb(0.3, 0.3, 0.3);
    for (long long f = (lo / step) * step; f <= hi; f += step) {
        const QString text = QString::number(f);
        const float x = float(offset + double(f - current) * scale);
        const float w = float(metrics.horizontalAdvance(text));
        const QRectF rect(x - w * 0.5f, 0.0, w, metrics.height());
        // Whole numbers only, clear of the current frame's number.
        if (rect.left() < 0.0 || rect.right() > width || rect.intersects(keep_clear)) continue;
        auto* item = new QGraphicsSimpleTextItem(text);
        item->setFont(font);
        item->setBrush(ink);
        item->setPos(rect.topLeft());
        group_->addToGroup(item);
        labels_.push_back({int(f), rect});
    }
}

void timeline::fit() {
    fitted = true;
    redraw();
}

void timeline::follow() {
    if (fitted) return;
    const float width = float(viewport()->width() - 1);
    // A margin of a few frames (or of a tenth of the strip when those are wider) on each side.
    const float margin = std::min(width * 0.1f, 3.0f * scale);
    if (offset < margin)
        offset = margin;
    else if (offset > width - margin)
        offset = width - margin;
}

bool timeline::redraw() {
    const float width = float(viewport()->width() - 1);
    const emitter* scene = owner_.active_scene();
    if (fitted && scene && width > 1.0f && scene->last_frame >= scene->first_frame) {
        // Half a frame free at each end; never more frames than a redraw allows nor more than
        // 100 pixels a frame.
        const double frames = double(scene->last_frame - scene->first_frame) + 1.0;
        scale = float(std::clamp(double(width) / frames, double(width) / 4900.0, 100.0));
        offset = float((double(owner_.link().current_frame) - scene->first_frame + 0.5) * scale);
    }
    // Counted in double: an offset far off the strip gives counts beyond the int range.
    const double nl = std::trunc(std::trunc(double(offset)) / scale) + 1.0;
    const double nr = std::trunc(std::trunc(double(width) - offset) / scale) + 1.0;
    if (!(nl + nr <= 5000.0) || scale > 100.0f) return false;

    if (group_) {
        scene_.removeItem(group_);
        delete group_;
    }
    group_ = new QGraphicsItemGroup;
    const int current = owner_.link().current_frame;

    QLinearGradient back(0, 25, 0, 35);
    back.setColorAt(0.0, QColor(0xF1, 0xF1, 0xF1));
    back.setColorAt(1.0, QColor(0xD8, 0xD8, 0xD8));
    auto* background = new QGraphicsRectItem(0, 0, std::max(1.0f, width), 36);
    background->setBrush(back);
    background->setPen(QPen(Qt::transparent));
    group_->addToGroup(background);

    auto x_of = [&](double frame) { return float(offset + (frame - current) * scale); };
    if (emitter* e = owner_.active_scene()) {
        for (const auto& [number, fs] : e->frames) {
            const bool even = scale > 2.0f && number % 2 == 0;
            QColor c;
            if (fs.empty)
                c = even ? rgb(0, 0, 0.6) : rgb(0, 0, 0.7);
            else if (ready_to_paint(fs))
                c = even ? rgb(1.0, 0.8, 0.0) : rgb(1.0, 0.85, 0.0);
            else
                c = even ? rgb(1.0, 0.5, 0.0) : rgb(1.0, 0.6, 0.0);
            band(group_, x_of(number - 0.5), x_of(number + 0.5), c, 0.6f);
        }
        const float time = owner_.tool().time();
        double left = current - time, right = current + time;
        const stroke_buttons sides = owner_.held_buttons();
        if (sides.side_left) left = std::min<double>(e->first_frame - 0.5, current);
        if (sides.side_right) right = std::max<double>(e->last_frame + 0.5, current);
        band(group_, x_of(left), x_of(right), Qt::white, 0.7f, reach_bottom);
    }

    auto tick = [&](int f, float x) {
        QColor c;
        float length = 5.0f;
        if (f % 1800 == 0) {
            c = rgb(0, 0, 0);
            length = 9.0f;
        } else if (f % 30 == 0) {
            c = rgb(0.4, 0.3, 0.0);
            length = 7.0f;
        } else if (scale > 3.0f) {
            c = rgb(0.6, 0.6, 0.6);
        } else {
            return;
        }
        auto* line = new QGraphicsLineItem(x, 35, x, 35 - length);
        line->setPen(QPen(c));
        group_->addToGroup(line);
    };
    // Only the ticks that land on the strip: the marker may sit far off it after a long pan.
    auto first_on_strip = [&](double from) { return std::max(0.0, std::ceil(from / scale) - 1.0); };
    for (double i = first_on_strip(offset - width); i < nl && offset - i * scale >= -scale; ++i)
        tick(current - int(i), offset - float(i) * scale);
    for (double i = first_on_strip(-offset); i < nr && offset + i * scale <= width + scale; ++i)
        tick(current + int(i), offset + float(i) * scale);

    auto* marker = new QGraphicsLineItem(offset, 0, offset, 35);
    marker->setPen(QPen(rgb(0.8, 0.1, 0.0)));
    group_->addToGroup(marker);

    QRectF current_number;
    if (show_frame_number) {
        auto* text = new QGraphicsSimpleTextItem(QString::number(current));
        QFont font("Meiryo");
        font.setPointSize(10);
        text->setFont(font);
        text->setBrush(rgb(0, 0, 0.4));
        text->setPos(offset - 3 - text->boundingRect().width(), 5);
        group_->addToGroup(text);
        current_number = text->sceneBoundingRect();
    }
    add_labels(width, current_number);

    scene_.addItem(group_);
    // The strip itself, not the items' bounds: bands of frames far off the strip would shift it.
    scene_.setSceneRect(0, 0, std::max(1.0f, width), 36);
    setScene(&scene_);
    viewport()->update();
    return true;
}

}  // namespace kavrin
