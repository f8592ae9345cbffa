// Viewport figures: the cost of one repaint of a large frame from its display list, and of one
// mouse move of a stroke on it.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <vector>

#include <QApplication>
#include <QMouseEvent>
#include <QSurfaceFormat>

#include <GL/gl.h>

#include "scene/emitter.h"
#include "dynamics/frame_step.h"
#include "figure.h"
#include "production_frame.h"
#include "timed_view.h"
#include "view/gl_format.h"
#include "view/hit_run.h"
#include "view/test_owner.h"
#include "view/timeline.h"
#include "view/view3d.h"

namespace kavrin::bench {

bool wait_for_context(view3d& view, const char* figure) {
    for (int i = 0; i < 500 && !view.isValid(); ++i)
        QApplication::processEvents();
    if (!view.isValid()) std::cerr << figure << ": no GL context\n";
    return view.isValid();
}

double stroke_moves(test::test_owner& owner, timed_view& view, const char* figure, float space,
                    int scan_step, int stride, int passes) {
    timeline strip(owner);
    strip.resize(975, 48);
    strip.show();
    // The longest row of the frame under the cursor: every move there picks the frame.
    const test::hit_run run = test::longest_hit_run(view, scan_step);
    const int row = run.y, from = run.x0, to = run.x1;
    std::cerr << figure << ": " << owner.scene->frame(owner.window.current_frame).particles.size()
              << " particles, stroke over x " << from << ".." << to << " at y " << row << "\n";

    // The stroke workers read the stand-in's brush: a grab along screen right.
    owner.window.brush_state.vector = view.camera().focal_tangent;
    owner.window.brush_state.space = space;
    owner.window.brush_state.power = 0.5f;
    owner.tool_brush.set_space(space);

    std::vector<double> hover, move, paint, strip_time, total;
    for (int x = from; x <= to; x += 4) {
        const double start = now_seconds();
        view.mouse(QEvent::MouseMove, QPointF(x, row), Qt::NoButton);
        hover.push_back((now_seconds() - start) * 1000.0);
    }
    view.mouse(QEvent::MouseButtonPress, QPointF(from, row), Qt::LeftButton);
    for (int pass = 0; pass < passes; ++pass)
        for (int x = from; x <= to; x += stride) {
            const double start = now_seconds();
            view.mouse(QEvent::MouseMove, QPointF(pass % 2 ? to - (x - from) : x, row),
                       Qt::LeftButton);
            const double moved = now_seconds();
            view.paint_and_finish();
            const double painted = now_seconds();
            strip.redraw();
            const double end = now_seconds();
            move.push_back((moved - start) * 1000.0);
            paint.push_back((painted - moved) * 1000.0);
            strip_time.push_back((end - painted) * 1000.0);
            total.push_back((end - start) * 1000.0);
            // The event loop runs between two moves: scene bookkeeping and queued repaints.
            QApplication::processEvents();
        }
    const int jobs = owner.window.view.stroke_steps;
    view.mouse(QEvent::MouseButtonRelease, QPointF(from, row), Qt::LeftButton);
    auto most = [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); };
    std::cerr << figure << ": median (slowest) in ms over " << total.size() << " moves and " << jobs
              << " stroke jobs: hover " << median(hover) << " (" << most(hover) << "), stroke move "
              << median(move) << " (" << most(move) << "), paint " << median(paint) << " ("
              << most(paint) << "), timeline " << median(strip_time) << " (" << most(strip_time)
              << ")\n";
    return median(total);
}

namespace {

// The "10000" scene built and stepped, frame 99 current.
bool build_10000(test::test_owner& owner, const char* figure) {
    use_viewport_gl_format();
    owner.window.generation_scale = 100;
    owner.window.cpu_count = 2;
    owner.toggles["camera_guide"] = true;
    emitter& e = *owner.scene;
    e.build();
    const bool built = test::tick_until(
        e, [&] { return e.built() && !e.has_pending_work(); }, 200000);
    if (!built) std::cerr << figure << ": the scene did not finish stepping\n";
    owner.window.current_frame = 99;
    return built;
}

// One repaint of a frame of the "10000" scene, with onion frames on each side (0: none).
double paint_10000(const char* figure, int frame, int onion) {
    test::test_owner owner;
    build_10000(owner, figure);
    emitter& e = *owner.scene;
    owner.window.current_frame = frame;
    owner.onion = onion;
    size_t neighbours = 0;
    for (int f = frame - onion; f <= frame + onion; ++f)
        if (f != frame) neighbours += e.frame(f).particles.size();
    std::cerr << figure << ": frame " << frame << " of " << e.frame(frame).particles.size()
              << " particles, " << 2 * onion << " neighbours of " << neighbours << "\n";

    // The size the viewport has in the 1280 x 800 window.
    timed_view view(owner);
    view.setFormat(QSurfaceFormat::defaultFormat());
    view.resize(1130, 608);
    view.set_camera(fountain_camera());
    view.show();
    for (int i = 0; i < 500 && !view.isValid(); ++i)
        QApplication::processEvents();
    if (!view.isValid()) {
        std::cerr << figure << ": no GL context\n";
        return 0.0;
    }
    for (int i = 0; i < 10; ++i)
        view.paint_and_finish();  // compiles the lists (a neighbour a paint), warms the caches
    for (int f = frame - onion; f <= frame + onion; ++f)
        if (!view.has_picture(f))
            std::cerr << figure << ": frame " << f << " not compiled\n";

    std::vector<double> times;
    for (int i = 0; i < 200; ++i) {
        const double start = now_seconds();
        view.paint_and_finish();
        times.push_back((now_seconds() - start) * 1000.0);
    }
    if (onion > 0) {
        // The onion skin's picture is painted again whenever the view changes: the repaints of
        // a camera drag, for the record beside the figure.
        std::vector<double> turning;
        camera_state c = view.camera();
        for (int i = 0; i < 100; ++i) {
            rotate_drag(c, 0.2f, 0.0f);
            view.set_camera(c);
            const double start = now_seconds();
            view.paint_and_finish();
            turning.push_back((now_seconds() - start) * 1000.0);
        }
        std::cerr << figure << ": " << median(turning) << " ms while the camera turns\n";
    }
    return median(times);
}

// One mouse move of a grab stroke over the 10000-particle frame, as the GUI thread does it: the
// move handler (pick, brush vector, dispatch of the stroke job) with the repaint of the viewport
// (recompiling the frame each time a job has moved it) and the redraw of the timeline. Median
// over the moves of a stroke across the frame, with the stroke jobs running on the workers.
double mouse_move_10000() {
    test::test_owner owner;
    build_10000(owner, "mouse_move_10000");
    timed_view view(owner);
    view.resize(1130, 608);
    view.set_camera(fountain_camera());
    view.show();
    if (!wait_for_context(view, "mouse_move_10000")) return 0.0;
    view.paint_and_finish();
    return stroke_moves(owner, view, "mouse_move_10000", 0.06f, 4, 3, 3);
}

// After a live stroke step on the million-particle frame: the repaints that bring its picture
// up to date and draw all of it.
double viewport_paint_1000000() {
    test::test_owner owner;
    owner.window.current_frame = 0;
    play_production_frame(owner.window, owner.scene, 1000000);
    frame_set& fs = owner.scene->frame(0);
    step(fs, true, false);
    timed_view view(owner);
    view.resize(1130, 608);
    camera_state c;
    c.focal_mag = 3.0f;
    c.position = vec3(0.5f, 0.4f, 0.5f) - c.focal_vect * c.focal_mag;
    view.set_camera(c);
    view.show();
    if (!wait_for_context(view, "viewport_paint_1000000")) return 0.0;
    // The first picture, made on a worker.
    const double first = now_seconds();
    while (!view.picture_complete() && now_seconds() - first < 30.0) {
        QApplication::processEvents();
        view.paint_and_finish();
    }
    std::cerr << "viewport_paint_1000000: first picture after " << (now_seconds() - first) * 1000.0
              << " ms\n";
    test::fake_window& w = owner.window;
    w.brush_state.type = brush_kind::grab;
    w.brush_state.power = 0.5f;
    w.brush_state.vector = vec3(0, 1, 0);
    w.brush_state.space = 0.0642f / 3.0f;
    w.view.set_pick_point(vec3(0.5f, 0.5f, 0.5f));
    // The whole picture is drawn a slice a paint: the figure runs until all of it is shown.
    std::vector<double> times, paints;
    for (int r = 0; r < 5; ++r) {
        w.view.busy = true;
        owner.scene->current_particle(owner.scene->live_step_inputs());
        if (!fs.touched) std::cerr << "viewport_paint_1000000: the stroke changed nothing\n";
        const double start = now_seconds();
        do {
            const double paint = now_seconds();
            view.paint_and_finish();
            paints.push_back((now_seconds() - paint) * 1000.0);
        } while (!view.picture_complete() && now_seconds() - start < 30.0);
        times.push_back((now_seconds() - start) * 1000.0);
    }
    owner.scene->select(nullptr);
    std::cerr << "viewport_paint_1000000: " << paints.size() << " paints, the longest "
              << *std::max_element(paints.begin(), paints.end()) << " ms\n";
    return median(times);
}

double viewport_paint_10000() {
    return paint_10000("viewport_paint_10000", 99, 0);
}

// Frame 99, the one of 10,000 particles, is the scene's last: frame 97 (9,800) is the largest
// with two neighbours on each side (9,600 to 10,000 particles each).
double viewport_paint_onion_10000() {
    return paint_10000("viewport_paint_onion_10000", 97, 2);
}

const add_figure paint("viewport_paint_10000", "ms", viewport_paint_10000, true);
const add_figure onion("viewport_paint_onion_10000", "ms", viewport_paint_onion_10000, true);
const add_figure paint_million("viewport_paint_1000000", "ms", viewport_paint_1000000, true);
const add_figure move("mouse_move_10000", "ms", mouse_move_10000, true);

}  // namespace
}  // namespace kavrin::bench
