#pragma once
// The sculpting brush: its type, sizes and direction. The GUI thread changes it; stroke workers
// read a snapshot through values(). The direction follows the mouse or the surface under it,
// by brush type, on every move of a stroke.

#include <deque>
#include <vector>

#include <QObject>
#include <QPointF>
#include <QString>
#include <QStringList>

#include "base/mutex.h"
#include "base/vec3.h"
#include "scene/window_link.h"

namespace kavrin {

class frame_set;

// What one update of the brush direction reads.
struct vector_input {
    const frame_set* frame = nullptr;  // the current frame, whose grid normals "normal" follows
    vec3 pick_point;                   // world point of the last pick that hit
    QPointF pick_mouse;                // widget position of the last pick
    vec3 tangent{1.0f, 0.0f, 0.0f};    // the camera's screen right and screen up
    vec3 up{0.0f, 1.0f, 0.0f};
    vec3 facing;        // towards the viewer, the side "normal" pushes to; zero when unknown
    bool ctrl = false;  // "ctrl" held: the brush pushes nowhere
};

class brush : public QObject {
    Q_OBJECT
  public:
    explicit brush(QObject* owner);

    // Reads and writes take lock_: workers snapshot while the GUI thread drags the sizes.
    brush_kind type() const;
    float power() const;
    float time() const;
    float space() const;
    vec3 vector() const;
    // Easing type of the falloff across the brush (QEasingCurve), one of falloffs().
    int select_curve() const;
    void set_select_curve(int curve);
    void set_type(brush_kind type);
    void set_power(float power);
    void set_time(float time);
    void set_space(float space);
    void set_vector(const vec3& v);

    // Everything a stroke copies, read at once.
    brush_values values() const;

    // Size drags: 0.5 % of the value per pixel of horizontal motion, clamped.
    void drag_space(float dx, float focal_mag);
    void drag_power(float dx);
    // Brush extent in frames after a timeline drag of dx frames, within [0.0001, 10000].
    void drag_time(float dx);

    // Refreshes the direction for the brush type: zero with "ctrl"; "normal" takes the frame's
    // field normal at the pick point (a miss keeps the last one); "grab" follows the mouse with
    // a lag of ten picks; other types keep it.
    void update_vector(const vector_input& in);

    // Last surface normal that a "normal" stroke found; GUI thread only.
    vec3 last_vector;
    // Screen positions of the picks of "grab" strokes, oldest first; GUI thread only.
    std::deque<QPointF> mouse_history;

  private:
    mutable mutex lock_;
    brush_values v_ KAVRIN_GUARDED_BY(lock_);
};

// The falloffs offered for the brush, by name, with their easing types: how a particle's weight
// eases from the brush's edge (0) to its centre (1).
struct falloff {
    const char* name;
    int curve;
};
const std::vector<falloff>& falloffs();
// Name of an easing type among them; empty for another.
QString falloff_name(int curve);

// The space's bounds: half the focal distance above, 0.01 below (the lower one wins).
float clamped_space(float space, float focal_mag);
// The clamped results of the size drags.
float grown_space(float space, float dx, float focal_mag);
float grown_power(float power, float dx);

}  // namespace kavrin
