// Viewport figures: the cost of one repaint of a large frame from its display list.
#include <cstdio>
#include <iostream>
#include <vector>

#include <QApplication>
#include <QSurfaceFormat>

#include <GL/gl.h>

#include "core/emitter.h"
#include "figure.h"
#include "view/test_owner.h"
#include "view/view3d.h"

namespace kavrin::bench {
namespace {

// The viewport with its paint callable on demand: the paint itself, finished by the GPU,
// without the window system's composition around it.
struct timed_view : view3d {
    using view3d::view3d;
    void paint_and_finish() {
        makeCurrent();
        paintGL();
        glFinish();
    }
};

double viewport_paint_10000() {
    test::test_owner owner;
    owner.window.generation_scale = 100;
    owner.window.cpu_count = 2;
    owner.toggles["camera_guide"] = true;
    emitter& e = *owner.scene;
    e.build();
    const bool built = test::tick_until(
        e, [&] { return e.frames_to_build == -1 && !e.has_pending_work(); }, 200000);
    if (!built) std::cerr << "viewport_paint_10000: the scene did not finish stepping\n";
    owner.window.current_frame = 99;
    std::cerr << "viewport_paint_10000: " << e.frame(99).particles.size() << " particles\n";

    // The size the viewport has in the 1280 x 800 window.
    timed_view view(owner);
    QSurfaceFormat format;
    format.setVersion(2, 1);
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setDepthBufferSize(24);
    view.setFormat(format);
    view.resize(1130, 608);
    view.set_camera(fountain_camera());
    view.show();
    for (int i = 0; i < 500 && !view.isValid(); ++i)
        QApplication::processEvents();
    if (!view.isValid()) {
        std::cerr << "viewport_paint_10000: no GL context\n";
        return 0.0;
    }
    for (int i = 0; i < 10; ++i)
        view.paint_and_finish();  // compiles the list, warms the caches
    if (e.frame(99).display_list == 0) std::cerr << "viewport_paint_10000: nothing compiled\n";

    std::vector<double> times;
    for (int i = 0; i < 200; ++i) {
        const double start = now_seconds();
        view.paint_and_finish();
        times.push_back((now_seconds() - start) * 1000.0);
    }
    return median(times);
}

const add_figure paint("viewport_paint_10000", "ms", viewport_paint_10000, true);

}  // namespace
}  // namespace kavrin::bench
