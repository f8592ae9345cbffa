// The timeline widget under the mouse: pan, zoom, brush time and scrubbing, and what its redraw
// puts on the strip (ticks, frame state bands, the brush's reach in time).
#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include <QGraphicsLineItem>
#include <QGraphicsRectItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QKeyEvent>
#include <QTest>
#include <QWheelEvent>

#include "test_owner.h"
#include "view/timeline.h"

using namespace kavrin;
using test::test_owner;

namespace {

struct shown_timeline {
    test_owner owner;
    timeline strip{owner};
    int changes = 0;

    shown_timeline() {
        // The window's frame setter: the marker moves with the current frame.
        QObject::connect(&strip, &timeline::frame_change, [this](int f) {
            ++changes;
            strip.offset += float(f - owner.window.current_frame) * strip.scale;
            owner.window.current_frame = f;
        });
        strip.resize(602, 48);
        strip.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&strip));
        strip.offset = 300.0f;
        EXPECT_TRUE(strip.redraw());
    }
    QWidget* surface() { return strip.viewport(); }
    void alt(bool held) { owner.window.set_key("alt", held); }
    void press(Qt::MouseButton b, int x) { QTest::mousePress(surface(), b, {}, QPoint(x, 20)); }
    void release(Qt::MouseButton b, int x) { QTest::mouseRelease(surface(), b, {}, QPoint(x, 20)); }
    void move(int x) { QTest::mouseMove(surface(), QPoint(x, 20)); }
    float x_of(double frame) const {
        return float(strip.offset + (frame - owner.window.current_frame) * strip.scale);
    }

    // Frames that have a tick, with each tick's length.
    std::map<int, float> ticks() {
        std::map<int, float> out;
        for (QGraphicsItem* item : strip.scene()->items()) {
            auto* line = qgraphicsitem_cast<QGraphicsLineItem*>(item);
            if (!line || line->line().y1() != 35.0) continue;  // the marker runs from the top
            const double f =
                (line->line().x1() - strip.offset) / strip.scale + owner.window.current_frame;
            out[int(std::lround(f))] = float(35.0 - line->line().y2());
        }
        return out;
    }
    // Band rectangles drawn at the given alpha: frame state 0.6, brush time 0.7.
    std::vector<QGraphicsRectItem*> bands(float alpha) {
        std::vector<QGraphicsRectItem*> out;
        for (QGraphicsItem* item : strip.scene()->items()) {
            auto* rect = qgraphicsitem_cast<QGraphicsRectItem*>(item);
            if (!rect || !rect->brush().gradient()) continue;
            const QGradientStops stops = rect->brush().gradient()->stops();
            if (std::abs(stops.back().second.alphaF() - alpha) < 0.01f) out.push_back(rect);
        }
        return out;
    }
};

}  // namespace

TEST(TimelineInput, DragsMoveAtMostAHundredPixelsPerEventAndLogTheirControl) {
    shown_timeline t;
    t.alt(true);
    t.press(Qt::MiddleButton, 100);
    EXPECT_TRUE(t.owner.mode);
    t.move(400);
    EXPECT_FLOAT_EQ(t.strip.offset, 400.0f);
    t.move(390);  // from where the last step ended, not from the press
    EXPECT_FLOAT_EQ(t.strip.offset, 390.0f);
    t.release(Qt::MiddleButton, 390);
    EXPECT_FALSE(t.owner.mode);
    EXPECT_EQ(t.owner.window.count_lines("timeline control / translate"), 1);

    t.press(Qt::RightButton, 100);
    t.move(-500);
    EXPECT_FLOAT_EQ(t.strip.scale, 10.0f - 10.0f * 100.0f / 300.0f);
    t.release(Qt::RightButton, -500);
    EXPECT_EQ(t.owner.window.count_lines("timeline control / scale"), 1);
    EXPECT_TRUE(t.owner.redraw_needed);

    // Without Alt the middle button stretches the brush in time, by frames under the mouse.
    t.alt(false);
    t.strip.scale = 10.0f;
    t.owner.tool_brush.set_time(5.0f);
    t.press(Qt::MiddleButton, 100);
    t.move(350);
    EXPECT_FLOAT_EQ(t.owner.tool_brush.time(), 15.0f);
    for (int x = 250; x >= -1000; x -= 100)
        t.move(x);
    EXPECT_FLOAT_EQ(t.owner.tool_brush.time(), 0.0001f);
    t.release(Qt::MiddleButton, -1000);
    EXPECT_EQ(t.owner.window.count_lines("brush size time / 5"), 1);
    EXPECT_EQ(t.owner.window.count_lines("brush size time / 0.0001"), 1);
    EXPECT_FLOAT_EQ(t.strip.offset, 390.0f);  // brush drags leave the strip where it was
    EXPECT_EQ(t.owner.window.count_lines("timeline control"), 2);
}

TEST(TimelineInput, ALeftClickJumpsToItsFrameAndDraggingScrubsTheMarkerAlong) {
    shown_timeline t;
    t.owner.window.current_frame = 50;
    EXPECT_EQ(t.strip.frame_at(300.0f + 14.9f), 51);
    EXPECT_EQ(t.strip.frame_at(300.0f + 15.0f), 52);
    EXPECT_EQ(t.strip.frame_at(300.0f - 14.0f), 49);

    t.press(Qt::LeftButton, 420);
    t.release(Qt::LeftButton, 420);
    EXPECT_EQ(t.owner.window.count_lines("frame change"), 2);  // on press and on release
    EXPECT_EQ(t.changes, 1);
    EXPECT_EQ(t.owner.window.current_frame, 62);
    EXPECT_FLOAT_EQ(t.strip.offset, 420.0f);
    t.press(Qt::LeftButton, 300);
    t.release(Qt::LeftButton, 300);
    EXPECT_EQ(t.owner.window.current_frame, 50);

    t.press(Qt::LeftButton, 300);
    for (int x : {340, 372, 251}) {
        t.move(x);
        // The marker lands on the frame under the mouse, within half a frame of it.
        EXPECT_NEAR(t.strip.offset, float(x), t.strip.scale / 2.0f) << x;
        EXPECT_EQ(t.owner.window.current_frame, t.strip.frame_at(float(x))) << x;
    }
    t.release(Qt::LeftButton, 251);
    EXPECT_EQ(t.owner.window.current_frame, 45);
    EXPECT_EQ(t.changes, 5);
    EXPECT_TRUE(t.owner.redraw_needed);
}

TEST(TimelineInput, RefusedZoomKeepsTheScale) {
    shown_timeline t;
    t.alt(true);
    t.strip.scale = 90.0f;  // a zoom in by a third would pass 100 pixels a frame
    t.press(Qt::RightButton, 100);
    t.move(200);
    EXPECT_FLOAT_EQ(t.strip.scale, 90.0f);
    t.move(130);  // measured from the press: the refused step did not count
    EXPECT_FLOAT_EQ(t.strip.scale, 99.0f);
    t.release(Qt::RightButton, 130);

    t.strip.scale = 0.13f;  // about 4600 frames across; a third fewer pixels shows too many
    ASSERT_TRUE(t.strip.redraw());
    t.press(Qt::RightButton, 300);
    t.move(200);
    EXPECT_FLOAT_EQ(t.strip.scale, 0.13f);
    t.release(Qt::RightButton, 200);
    EXPECT_FALSE(t.owner.mode);
}

TEST(TimelineDrawing, SmallScalesTickOnlyEveryThirtyFrames) {
    shown_timeline t;
    t.owner.window.current_frame = 1800;
    for (float scale : {3.0f, 1.0f, 0.3f}) {
        t.strip.scale = scale;
        ASSERT_TRUE(t.strip.redraw());
        const std::map<int, float> ticks = t.ticks();
        ASSERT_GE(ticks.size(), 2u) << scale;
        for (const auto& [f, length] : ticks) {
            EXPECT_EQ(f % 30, 0) << scale << " " << f;
            EXPECT_EQ(length, f % 1800 == 0 ? 9.0f : 7.0f) << f;
        }
        EXPECT_EQ(ticks.count(1800), 1u);
    }
    t.strip.scale = 3.5f;
    ASSERT_TRUE(t.strip.redraw());
    const std::map<int, float> ticks = t.ticks();
    EXPECT_EQ(ticks.at(1801), 5.0f);
    EXPECT_EQ(ticks.at(1830), 7.0f);
    // Every frame across the strip, without gaps.
    EXPECT_LE(ticks.begin()->first, t.strip.frame_at(5.0f));
    EXPECT_GE(ticks.rbegin()->first, t.strip.frame_at(595.0f));
    EXPECT_EQ(ticks.size(), size_t(ticks.rbegin()->first - ticks.begin()->first) + 1);
}

TEST(TimelineDrawing, FrameNumbersStandApartOverTheirTicksAtEveryZoom) {
    shown_timeline t;
    t.strip.show_frame_number = true;
    for (const int current : {0, 1234, 99999})
        for (float scale = 0.125f; scale <= 100.0f; scale *= 1.37f) {
            t.owner.window.current_frame = current;
            t.strip.scale = scale;
            ASSERT_TRUE(t.strip.redraw()) << scale;
            const auto& labels = t.strip.labels();
            ASSERT_FALSE(labels.empty()) << current << " at " << scale;
            for (const timeline::frame_label& l : labels) {
                // On a drawn tick: a major one, or any once every frame has its tick.
                EXPECT_TRUE(l.frame % 30 == 0 || scale > 3.0f) << l.frame << " at " << scale;
                EXPECT_NEAR(l.rect.center().x(), t.x_of(l.frame), 0.5) << l.frame;
                // Whole on the strip, above the frame bands, and tall enough to read.
                EXPECT_GE(l.rect.left(), 0.0);
                EXPECT_LE(l.rect.right(), t.strip.viewport()->width());
                EXPECT_LE(l.rect.bottom(), 12.0);
                EXPECT_GE(l.rect.height(), 9.0);
            }
            // No text of the strip (numbers and the current frame's number) covers another.
            std::vector<QRectF> texts;
            for (QGraphicsItem* item : t.strip.scene()->items())
                if (qgraphicsitem_cast<QGraphicsSimpleTextItem*>(item))
                    texts.push_back(item->sceneBoundingRect());
            EXPECT_EQ(texts.size(), labels.size() + 1);
            for (size_t i = 0; i < texts.size(); ++i)
                for (size_t j = i + 1; j < texts.size(); ++j)
                    ASSERT_FALSE(texts[i].intersects(texts[j])) << current << " at " << scale;
        }
}

TEST(TimelineDrawing, BandsShowEachFrameStateAndTheBrushTimeWithItsSideButtons) {
    shown_timeline t;
    for (int f = 40; f <= 60; ++f) {
        scene_frame& fs = t.owner.add_frame(f);
        fs.mark_filled();
        fs.settled = true;
    }
    t.owner.scene->frame(41).empty = true;
    t.owner.scene->frame(42).mark_near(true);
    t.owner.scene->first_frame = 40;
    t.owner.scene->last_frame = 60;
    t.owner.window.current_frame = 50;
    t.owner.tool_brush.set_time(3.0f);
    ASSERT_TRUE(t.strip.redraw());

    std::map<int, QColor> shade;
    for (QGraphicsRectItem* band : t.bands(0.6f)) {
        const int f =
            int(std::lround((band->rect().center().x() - t.strip.offset) / t.strip.scale)) + 50;
        EXPECT_NEAR(band->rect().width(), t.strip.scale, 1e-3) << f;
        shade[f] = band->brush().gradient()->stops().back().second;
    }
    ASSERT_EQ(shade.size(), 21u);
    auto rgb = [](const QColor& c) { return std::make_tuple(c.red(), c.green(), c.blue()); };
    EXPECT_EQ(rgb(shade[41]), rgb(QColor::fromRgbF(0, 0, 0.7f)));
    EXPECT_EQ(rgb(shade[42]), rgb(QColor::fromRgbF(1.0f, 0.5f, 0.0f)));  // even: first shade
    EXPECT_EQ(rgb(shade[43]), rgb(QColor::fromRgbF(1.0f, 0.85f, 0.0f)));
    EXPECT_EQ(rgb(shade[44]), rgb(QColor::fromRgbF(1.0f, 0.8f, 0.0f)));

    auto time_band = [&]() -> std::optional<QRectF> {
        const auto found = t.bands(0.7f);
        if (found.size() != 1) return std::nullopt;
        return found.front()->rect();
    };
    auto expect_band = [&](double left, double right) {
        ASSERT_TRUE(t.strip.redraw());
        const std::optional<QRectF> r = time_band();
        ASSERT_TRUE(r);
        EXPECT_NEAR(r->left(), t.x_of(left), 1e-3);
        EXPECT_NEAR(r->right(), t.x_of(right), 1e-3);
    };
    expect_band(47.0, 53.0);
    t.owner.pressed.side_left = true;
    expect_band(39.5, 53.0);
    t.owner.pressed.side_right = true;
    expect_band(39.5, 60.5);
    // The side ends never cross the current frame.
    t.owner.scene->first_frame = 55;
    t.owner.scene->last_frame = 45;
    expect_band(50.0, 50.0);
    t.owner.pressed.side_left = false;
    expect_band(47.0, 50.0);
}

TEST(TimelineInput, KeysAndTheWheelNeverScrollTheViewAwayFromItsMouseMapping) {
    shown_timeline t;
    t.owner.window.current_frame = 40;
    t.strip.scale = 4.0f;  // more strip than scene: a view that could scroll would
    ASSERT_TRUE(t.strip.redraw());
    const QPointF origin = t.strip.mapToScene(QPoint(0, 0));
    for (Qt::Key key : {Qt::Key_Right, Qt::Key_Left, Qt::Key_Down, Qt::Key_PageDown, Qt::Key_PageUp,
                        Qt::Key_End, Qt::Key_Home}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(&t.strip, &press);
        EXPECT_EQ(t.strip.mapToScene(QPoint(0, 0)), origin) << key;
    }
    QWheelEvent wheel(QPointF(100, 20), t.strip.mapToGlobal(QPointF(100, 20)), QPoint(),
                      QPoint(0, -240), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(t.surface(), &wheel);
    EXPECT_EQ(t.strip.mapToScene(QPoint(0, 0)), origin);
    // The marker is drawn where the mouse mapping puts the current frame.
    EXPECT_EQ(t.strip.frame_at(t.strip.offset), 40);
    EXPECT_EQ(t.strip.mapFromScene(QPointF(t.strip.offset, 0)).x() -
                  t.strip.mapFromScene(QPointF(0, 0)).x(),
              int(t.strip.offset));
}

TEST(TimelineDrawing, AMarkerFarOffTheStripStillDrawsTheTicksOnIt) {
    shown_timeline t;
    t.strip.scale = 2.0f;
    for (float offset : {1.0e6f, -1.0e6f, 2.5e5f}) {
        t.strip.offset = offset;
        ASSERT_TRUE(t.strip.redraw()) << offset;
        const std::map<int, float> ticks = t.ticks();
        // Ticks of multiples of 30 frames, every 60 pixels across the 600 of the strip.
        EXPECT_GE(ticks.size(), 9u) << offset;
        EXPECT_LE(ticks.size(), 12u) << offset;
    }
}
