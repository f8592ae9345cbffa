#include "app/test_seams.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

#include "app/kavrin.h"
#include "app/shelf_area.h"
#include "app/transfer.h"
#include "view/view3d.h"

namespace kavrin {

namespace {

// Widget position of the particle nearest the middle of the current frame.
QPointF fountain_middle(kavrin& w) {
    const frame_set& fs = w.scene()->frame(w.link().current_frame);
    vec3 sum;
    for (const auto& [id, p] : fs.particles)
        sum += p.position;
    const vec3 mean = sum / float(std::max<size_t>(1, fs.particles.size()));
    vec3 best = mean;
    float nearest = -1.0f;
    for (const auto& [id, p] : fs.particles)
        if (nearest < 0.0f || length(p.position - mean) < nearest) {
            nearest = length(p.position - mean);
            best = p.position;
        }
    return project_point(w.viewport().current_projection(), w.viewport().width(),
                         w.viewport().height(), best);
}

void arm_screenshot(kavrin& w, const QString& path) {
    const int level = qEnvironmentVariableIntValue("KAVRIN_SHOW_DEBUG");
    bool frame_given = false;
    const int frame = qEnvironmentVariableIntValue("KAVRIN_FRAME", &frame_given);
    auto* poll = new QTimer(&w);
    auto stage = std::make_shared<int>(0);
    auto waited = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, &w,
                     [&w, poll, stage, waited, path, level, frame, frame_given] {
                         ++*waited;
                         emitter* e = w.scene();
                         const bool ready = e && e->built() && !e->has_pending_work();
                         if (*stage == 0 && (ready || *waited > 300)) {
                             if (auto* slider = w.findChild<QSlider*>("show_debug"))
                                 slider->setValue(level);
                             w.change_frame(frame_given ? frame : 99);
                             w.viewport().update();
                             *stage = 1;
                         } else if (*stage == 1) {
                             // Boxes around lone particles are small: look around the particle for
                             // a hit.
                             const QPointF middle = fountain_middle(w);
                             QPointF at = middle;
                             bool hit = false;
                             for (int r = 0; r < 6 && !hit; ++r)
                                 for (int dx = -r; dx <= r && !hit; ++dx)
                                     for (int dy = -r; dy <= r && !hit; ++dy) {
                                         at = middle + QPointF(dx, dy);
                                         hit = w.viewport().pick(at);
                                     }
                             QMouseEvent hover(QEvent::MouseMove, at, w.viewport().mapToGlobal(at),
                                               Qt::NoButton, Qt::NoButton, Qt::NoModifier);
                             QCoreApplication::sendEvent(&w.viewport(), &hover);
                             *stage = 2;
                         } else if (*stage >= 2 && ++*stage > 5) {
                             poll->stop();
                             w.grab().save(path);
                             w.close();
                         }
                     });
    poll->start(100);
}

// Once the first scene is stepped, clicks the sample's button and looks through its camera at
// its geometry and its particles drawn by scale; once the sample is stepped, shows the frame and,
// with a path, saves a picture of the window there and closes.
void arm_sample(kavrin& w, const QString& name, const QString& path) {
    bool frame_given = false;
    const int frame = qEnvironmentVariableIntValue("KAVRIN_FRAME", &frame_given);
    auto* poll = new QTimer(&w);
    auto stage = std::make_shared<int>(0);
    auto waited = std::make_shared<int>(0);
    QObject::connect(
        poll, &QTimer::timeout, &w, [&w, poll, stage, waited, name, path, frame, frame_given] {
            ++*waited;
            emitter* e = w.scene();
            // The sample downloads off the GUI thread: it is there once no download runs.
            const bool ready = e && e->built() && !e->has_pending_work() && !w.link().panel_busy &&
                               !w.current_transfer();
            if (*stage == 0 && (ready || *waited > 300)) {
                const auto button = w.shelf().buttons.find(("demo_" + name).toStdString());
                if (button != w.shelf().buttons.end()) button->second->click();
                for (const char* toggle : {"camera_animation", "geometry_visible", "cache_display"})
                    w.shelf().buttons.at(toggle)->setChecked(true);
                *stage = 1;
                *waited = 0;
            } else if (*stage == 1 && (ready || *waited > 600)) {
                w.change_frame(frame_given ? frame : 30);
                w.display().redraw_timeline();
                *stage = 2;
            } else if (*stage >= 2 && ++*stage > 5) {
                poll->stop();
                if (path.isEmpty()) return;
                w.grab().save(path);
                w.close();
            }
        });
    poll->start(100);
}

}  // namespace

void arm_test_seams(kavrin& window) {
    // Close on our own after the given time, as a user would.
    const int autoclose_ms = qEnvironmentVariableIntValue("KAVRIN_AUTOCLOSE_MS");
    if (autoclose_ms > 0) QTimer::singleShot(autoclose_ms, &window, &QWidget::close);
    const QString shot = qEnvironmentVariable("KAVRIN_SCREENSHOT");
    const QString sample = qEnvironmentVariable("KAVRIN_SAMPLE");
    if (!sample.isEmpty())
        arm_sample(window, sample, shot);
    else if (!shot.isEmpty())
        arm_screenshot(window, shot);
}

}  // namespace kavrin
