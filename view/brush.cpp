#include "view/brush.h"

#include <algorithm>
#include <mutex>

#include <QEasingCurve>

#include "dynamics/frame_set.h"
#include "dynamics/grid_fields.h"

namespace kavrin {

brush::brush(QObject* owner) : QObject(owner) {
    // Until the tool settings are read: a grab brush of 6 % of the focal distance.
    v_.type = brush_kind::grab;
    v_.power = 0.5f;
    v_.time = 5.0f;
    v_.space = 0.06f;
    v_.near_curve = QEasingCurve::InOutSine;
    v_.select_curve = QEasingCurve::InOutSine;
}

brush_kind brush::type() const {
    mutex_hold hold(lock_);
    return v_.type;
}
float brush::power() const {
    mutex_hold hold(lock_);
    return v_.power;
}
float brush::time() const {
    mutex_hold hold(lock_);
    return v_.time;
}
float brush::space() const {
    mutex_hold hold(lock_);
    return v_.space;
}
vec3 brush::vector() const {
    mutex_hold hold(lock_);
    return v_.vector;
}
int brush::select_curve() const {
    mutex_hold hold(lock_);
    return v_.select_curve;
}
void brush::set_select_curve(int curve) {
    mutex_hold hold(lock_);
    v_.select_curve = curve;
}
void brush::set_type(brush_kind type) {
    mutex_hold hold(lock_);
    v_.type = type;
}
void brush::set_power(float power) {
    mutex_hold hold(lock_);
    v_.power = power;
}
void brush::set_time(float time) {
    mutex_hold hold(lock_);
    v_.time = time;
}
void brush::set_space(float space) {
    mutex_hold hold(lock_);
    v_.space = space;
}
void brush::set_vector(const vec3& v) {
    mutex_hold hold(lock_);
    v_.vector = v;
}

brush_values brush::values() const {
    mutex_hold hold(lock_);
    return v_;
}

void brush::drag_space(float dx, float focal_mag) {
    mutex_hold hold(lock_);
    v_.space = grown_space(v_.space, dx, focal_mag);
}

void brush::drag_power(float dx) {
    mutex_hold hold(lock_);
    v_.power = grown_power(v_.power, dx);
}

void brush::drag_time(float dx) {
    mutex_hold hold(lock_);
    v_.time = std::clamp(v_.time + dx, 0.0001f, 10000.0f);
}

namespace {

// The unit surface normal of the frame's particles at x, or nothing when no cell with a normal is
// near or a worker is refreshing the fields (the GUI never waits for it).
bool field_normal(const frame_set& fs, const vec3& x, const vec3& facing, vec3& normal) {
    const std::unique_lock<mutex> hold = fs.grid.hold(std::try_to_lock);
    if (!hold.owns_lock() || cells_near(fs, x) <= 0) return false;
    // Cells near enough to count but too far to weigh leave no direction (false), never a zero
    // vector that a division would turn into NaN positions.
    return surface_normal(fs, x, facing, normal);
}

}  // namespace

void brush::update_vector(const vector_input& in) {
    if (in.ctrl) {
        set_vector(vec3());
        return;
    }
    const brush_kind kind = type();
    if (kind == brush_kind::normal) {
        vec3 n;
        if (in.frame && field_normal(*in.frame, in.pick_point, in.facing, n)) last_vector = n;
        set_vector(last_vector);
    } else if (kind == brush_kind::grab) {
        mouse_history.push_back(in.pick_mouse);
        if (mouse_history.size() < 11) return;
        // The newest pick against the one ten picks before; screen y grows downwards.
        const float dx = float(mouse_history.back().x() - mouse_history.front().x());
        const float dy = -float(mouse_history.back().y() - mouse_history.front().y());
        set_vector(normalise(in.tangent * dx + in.up * dy));
        mouse_history.pop_front();
    }
}

const std::vector<falloff>& falloffs() {
    static const std::vector<falloff> all{{"smooth", QEasingCurve::InOutSine},
                                          {"linear", QEasingCurve::Linear},
                                          {"sharp", QEasingCurve::InQuad},
                                          {"broad", QEasingCurve::OutQuad}};
    return all;
}

QString falloff_name(int curve) {
    for (const falloff& f : falloffs())
        if (f.curve == curve) return f.name;
    return QString();
}

float clamped_space(float space, float focal_mag) {
    // The upper bound first: with a focal distance below 0.02 the lower bound wins.
    if (space > 0.5f * focal_mag) space = 0.5f * focal_mag;
    if (space < 0.01f) space = 0.01f;
    return space;
}

float grown_space(float space, float dx, float focal_mag) {
    return clamped_space(space + dx * space * 0.005f, focal_mag);
}

float grown_power(float power, float dx) {
    power += dx * power * 0.005f;
    return std::clamp(power, 0.01f, 1.0f);
}

}  // namespace kavrin
