#pragma once
// The viewport with its paint and mouse handlers callable on demand, for the viewport figures.

#include <QMouseEvent>

#include <GL/gl.h>

#include "view/test_owner.h"
#include "view/view3d.h"

namespace kavrin::bench {

// The viewport with its paint and mouse handlers callable on demand: the paint itself, finished
// by the GPU, without the window system's composition around it.
struct timed_view : view3d {
    using view3d::view3d;
    void paint_and_finish() {
        makeCurrent();
        paintGL();
        glFinish();
    }
    void mouse(QEvent::Type type, const QPointF& at, Qt::MouseButton button) {
        QMouseEvent event(type, at, mapToGlobal(at), button,
                          type == QEvent::MouseMove ? Qt::MouseButtons(button) : Qt::NoButton,
                          Qt::NoModifier);
        if (type == QEvent::MouseButtonPress)
            mousePressEvent(&event);
        else if (type == QEvent::MouseButtonRelease)
            mouseReleaseEvent(&event);
        else
            mouseMoveEvent(&event);
    }
};

// Processes events until the view has its GL context; false (with a note) when none comes.
bool wait_for_context(view3d& view, const char* figure);

// A grab stroke of the given brush space across the longest row of the current frame under the
// cursor (found scanning every scan_step pixels), passes of moves stride pixels apart, each
// followed by the viewport's repaint and the timeline's redraw: the median milliseconds of one
// move end to end.
double stroke_moves(test::test_owner& owner, timed_view& view, const char* figure, float space,
                    int scan_step, int stride, int passes);

}  // namespace kavrin::bench
