// Interaction figures at production size: million-particle frames in the viewport while the
// camera turns, a stroke is drawn, a stroke is undone and the frame changes.
#include <algorithm>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include "scene/emitter.h"
#include "dynamics/frame_step.h"
#include "figure.h"
#include "production_frame.h"
#include "timed_view.h"
#include "view/test_owner.h"

namespace kavrin::bench {
namespace {

// frame_count frames of particle_count particles each, stepped, in a viewport of the size it has
// in the 1280 x 800 window, looking at the cloud; frame 0 current and painted whole.
struct production_view {
    test::test_owner owner;
    std::unique_ptr<timed_view> view;
    bool ready = false;

    production_view(const char* figure, int frame_count, int particle_count = 1000000) {
        owner.window.current_frame = 0;
        play_production_frame(owner.window, owner.scene, particle_count, 7, frame_count);
        for (int f = 0; f < frame_count; ++f)
            step(owner.scene->frame(f), true, false);
        view = std::make_unique<timed_view>(owner);
        view->resize(1130, 608);
        camera_state c;
        c.focal_mag = 3.0f;
        c.position = vec3(0.5f, 0.4f, 0.5f) - c.focal_vect * c.focal_mag;
        view->set_camera(c);
        view->show();
        ready = wait_for_context(*view, figure) && settle(60.0);
        if (!ready) std::cerr << figure << ": the first picture did not come\n";
    }

    // The current frame's full picture is on screen.
    bool whole() const { return view->picture_complete(); }

    // Turns the event loop (repaints the view asked for, the workers' results) until the
    // current frame's full picture is on screen, at most limit seconds; whether it came.
    bool settle(double limit) {
        const double start = now_seconds();
        view->update();
        while (now_seconds() - start < limit) {
            QApplication::processEvents();
            if (whole()) return true;
            QThread::msleep(1);
        }
        return whole();
    }
};

// The longest wait of the event loop while `script` runs: a zero timer notes the time between
// its turns, so any work that holds the GUI thread shows as a gap.
struct stall_watch {
    double last = now_seconds(), longest = 0.0;
    std::string longest_in, phase = "start";
    QTimer beat;

    stall_watch() {
        beat.setInterval(0);
        QObject::connect(&beat, &QTimer::timeout, [this] { note(); });
        beat.start();
    }
    void note() {
        const double t = now_seconds();
        if (t - last > longest) {
            longest = t - last;
            longest_in = phase;
        }
        last = t;
    }
    // Runs the event loop for ms milliseconds, ticking the scene every 100 ms as the window's
    // frame timer does.
    void run_for(emitter& e, double ms) {
        const double end = now_seconds() + ms / 1000.0;
        double next_tick = now_seconds();
        while (now_seconds() < end) {
            QApplication::processEvents();
            if (now_seconds() >= next_tick) {
                e.tick();
                next_tick += 0.1;
            }
            QThread::usleep(200);
        }
    }
    bool run_until(emitter& e, const std::function<bool()>& done, double limit_s) {
        const double end = now_seconds() + limit_s;
        while (!done() && now_seconds() < end)
            run_for(e, 5.0);
        return done();
    }
};

// One repaint of a production frame while the camera orbits (Alt and the left button), the drag
// move included. Median over the moves of one drag.
double viewport_orbit(const char* figure, int particle_count) {
    production_view m(figure, 1, particle_count);
    if (!m.ready) return 0.0;
    timed_view& view = *m.view;
    const QPointF from(565, 304);
    m.owner.window.set_key("alt", true);
    view.mouse(QEvent::MouseButtonPress, from, Qt::LeftButton);
    std::vector<double> times;
    for (int i = 1; i <= 20; ++i) {
        const double start = now_seconds();
        view.mouse(QEvent::MouseMove, from + QPointF(6.0 * i, 2.0 * i), Qt::LeftButton);
        view.paint_and_finish();
        times.push_back((now_seconds() - start) * 1000.0);
        QApplication::processEvents();
    }
    view.mouse(QEvent::MouseButtonRelease, from + QPointF(120, 40), Qt::LeftButton);
    m.owner.window.set_key("alt", false);
    const double stopped = now_seconds();
    m.settle(5.0);
    std::cerr << figure << ": full picture " << (now_seconds() - stopped) * 1000.0
              << " ms after the drag ended, slowest repaint "
              << *std::max_element(times.begin(), times.end()) << " ms\n";
    return median(times);
}

// From the Right key to the next frame's full picture, that frame changed since it was last
// drawn (as the background leaves a frame that a stroke reached): the window's frame change
// sets the current frame and asks the viewport to repaint.
double frame_change_1000000() {
    production_view m("frame_change_1000000", 2);
    if (!m.ready) return 0.0;
    std::vector<double> times;
    for (int r = 0; r < 4; ++r) {
        const int target = r % 2 == 0 ? 1 : 0;
        m.owner.scene->frame(target).touched = true;
        const double start = now_seconds();
        m.owner.window.current_frame = target;
        if (!m.settle(20.0)) std::cerr << "frame_change_1000000: frame " << target << " late\n";
        times.push_back((now_seconds() - start) * 1000.0);
    }
    std::cerr << "frame_change_1000000: slowest " << *std::max_element(times.begin(), times.end())
              << " ms\n";
    return median(times);
}

// One mouse move of a grab stroke touching about a thousand particles of the million, end to
// end: pick, brush vector, stroke dispatch, repaint and the timeline's redraw.
double mouse_move_1000000() {
    production_view m("mouse_move_1000000", 1);
    if (!m.ready) return 0.0;
    m.view->paint_and_finish();
    return stroke_moves(m.owner, *m.view, "mouse_move_1000000", 0.0642f / 3.0f, 16, 15, 2);
}

// The longest the GUI thread is held over a scripted session on two million-particle frames: an
// orbit, a stroke with its release, an undo of it and a change to the other frame, with the
// scene ticked as the window's frame timer does and every repaint the real one.
double gui_stall_1000000() {
    production_view m("gui_stall_1000000", 2);
    if (!m.ready) return 0.0;
    timed_view& view = *m.view;
    emitter& e = *m.owner.scene;
    test::fake_window& w = m.owner.window;
    w.brush_state.space = 0.0642f / 3.0f;
    w.brush_state.power = 0.5f;
    m.owner.tool_brush.set_space(w.brush_state.space);
    stall_watch watch;
    const QPointF centre(565, 304);

    watch.phase = "orbit";
    w.set_key("alt", true);
    view.mouse(QEvent::MouseButtonPress, centre, Qt::LeftButton);
    for (int i = 1; i <= 20; ++i) {
        view.mouse(QEvent::MouseMove, centre + QPointF(4.0 * i, 0.0), Qt::LeftButton);
        watch.run_for(e, 16.0);
    }
    view.mouse(QEvent::MouseButtonRelease, centre + QPointF(80, 0), Qt::LeftButton);
    w.set_key("alt", false);
    watch.run_until(
        e, [&] { return m.whole(); }, 10.0);

    watch.phase = "stroke";
    w.brush_state.vector = view.camera().focal_tangent;
    view.mouse(QEvent::MouseMove, centre, Qt::NoButton);
    view.mouse(QEvent::MouseButtonPress, centre, Qt::LeftButton);
    for (int i = 1; i <= 20; ++i) {
        view.mouse(QEvent::MouseMove, centre + QPointF(3.0 * i, 0.0), Qt::LeftButton);
        watch.run_for(e, 16.0);
    }
    watch.phase = "stroke release";
    view.mouse(QEvent::MouseButtonRelease, centre + QPointF(60, 0), Qt::LeftButton);
    watch.run_until(
        e, [&] { return m.whole() && !e.has_pending_work(); }, 30.0);
    const int strokes = e.history().undo_depth();

    watch.phase = "undo";
    e.undo();
    view.update();
    watch.run_until(
        e, [&] { return m.whole() && !e.has_pending_work(); }, 30.0);

    watch.phase = "frame change";
    w.current_frame = 1;
    view.update();
    watch.run_until(
        e, [&] { return m.whole(); }, 20.0);
    watch.note();
    std::cerr << "gui_stall_1000000: " << strokes
              << " stroke(s) drawn and undone, longest stall in " << watch.longest_in << "\n";
    return watch.longest * 1000.0;
}

const add_figure orbit(
    "viewport_orbit_1000000", "ms",
    [] { return viewport_orbit("viewport_orbit_1000000", 1000000); }, true);
const add_figure orbit_10m(
    "viewport_orbit_10000000", "ms",
    [] { return viewport_orbit("viewport_orbit_10000000", 10000000); }, true);
const add_figure change("frame_change_1000000", "ms", frame_change_1000000, true);
const add_figure move("mouse_move_1000000", "ms", mouse_move_1000000, true);
const add_figure stall("gui_stall_1000000", "ms", gui_stall_1000000, true);

}  // namespace
}  // namespace kavrin::bench
