#include "view/brush.h"

#include <algorithm>

namespace kavrin {

brush::brush(QObject* owner) : QObject(owner) {
    // Until the tool settings are read: a grab brush of 6 % of the focal distance.
    v_.type = "grab";
    v_.power = 0.5f;
    v_.time = 5.0f;
    v_.space = 0.06f;
    v_.near_curve = 19;
    v_.select_curve = 19;
}

QString brush::type() const {
    QMutexLocker hold(&lock_);
    return v_.type;
}
float brush::power() const {
    QMutexLocker hold(&lock_);
    return v_.power;
}
float brush::time() const {
    QMutexLocker hold(&lock_);
    return v_.time;
}
float brush::space() const {
    QMutexLocker hold(&lock_);
    return v_.space;
}
vec3 brush::vector() const {
    QMutexLocker hold(&lock_);
    return v_.vector;
}
void brush::set_type(const QString& type) {
    QMutexLocker hold(&lock_);
    v_.type = type;
}
void brush::set_power(float power) {
    QMutexLocker hold(&lock_);
    v_.power = power;
}
void brush::set_time(float time) {
    QMutexLocker hold(&lock_);
    v_.time = time;
}
void brush::set_space(float space) {
    QMutexLocker hold(&lock_);
    v_.space = space;
}
void brush::set_vector(const vec3& v) {
    QMutexLocker hold(&lock_);
    v_.vector = v;
}

brush_values brush::values() const {
    QMutexLocker hold(&lock_);
    return v_;
}

void brush::drag_space(float dx, float focal_mag) {
    QMutexLocker hold(&lock_);
    v_.space = grown_space(v_.space, dx, focal_mag);
}

void brush::drag_power(float dx) {
    QMutexLocker hold(&lock_);
    v_.power = grown_power(v_.power, dx);
}

float grown_space(float space, float dx, float focal_mag) {
    space += dx * space * 0.005f;
    // The upper bound first: with a focal distance below 0.02 the lower bound wins.
    if (space > 0.5f * focal_mag) space = 0.5f * focal_mag;
    if (space < 0.01f) space = 0.01f;
    return space;
}

float grown_power(float power, float dx) {
    power += dx * power * 0.005f;
    return std::clamp(power, 0.01f, 1.0f);
}

}  // namespace kavrin
