#include "view/view3d.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <utility>

#include <QMouseEvent>
#include <QOpenGLFramebufferObject>
#include <QThread>
#include <QWheelEvent>

#include <GL/gl.h>
#include <GL/glu.h>

#include "base/parallel.h"
#include "base/strict.h"
#include "dynamics/frame_set.h"
#include "dynamics/frame_step.h"
#include "scene/emitter.h"
#include "view/brush.h"
#include "view/gl_draw.h"
#include "view/view_owner.h"

namespace kavrin {

key_state held_keys(view_owner& owner) {
    window_link& link = owner.link();
    if (std::optional<key_state> keys = link.try_keys()) return *keys;
    if (emitter* e = owner.active_scene()) return e->stroke_keys();
    return key_state::released();
}

view3d::view3d(view_owner& owner, QWidget* parent)
    : QOpenGLWidget(parent),
      owner_(owner),
      inbox_(std::make_shared<picture_inbox>()) {
    setMouseTracking(true);
    setMinimumSize(64, 64);
    publish_camera();
    // While workers make pictures, their results are looked for between the paints.
    picture_poll_.setInterval(8);
    connect(&picture_poll_, &QTimer::timeout, this, [this] {
        mutex_hold hold(inbox_->lock);
        if (!inbox_->ready.empty() || inbox_->visible) update();
    });
    // The view rests this long after its last move, and then shows every particle again.
    motion_end_.setSingleShot(true);
    motion_end_.setInterval(150);
    connect(&motion_end_, &QTimer::timeout, this, [this] { update(); });
}

view3d::~view3d() {
    if (!context()) return;
    makeCurrent();
    onion_picture_.reset();
    whole_picture_.reset();
    for (auto& [id, picture] : pictures_) {
        picture.points.release();
        if (picture.spheres) glDeleteLists(picture.spheres, 1);
    }
    if (sphere_list_) glDeleteLists(sphere_list_, 1);
    if (small_sphere_list_) glDeleteLists(small_sphere_list_, 1);
    doneCurrent();
}

scene_frame* view3d::current_frame() const {
    emitter* e = owner_.active_scene();
    if (!e) return nullptr;
    auto it = e->frames.find(owner_.link().current_frame);
    return it == e->frames.end() ? nullptr : &it->second;
}

bool view3d::frame_shown() const {
    if (!owner_.active_scene() || !owner_.link().stepping) return false;
    const scene_frame* fs = current_frame();
    return fs && fs->needs_step();
}

bool view3d::panel_toggle(int k, bool value) const {
    switch (k) {
        case 0:
            return owner_.imported("camera") &&
                   scene_camera_keys.count(owner_.link().current_frame) &&
                   owner_.toggle("camera_animation") == value;
        case 1:
            return owner_.imported("geometry") && owner_.toggle("geometry_visible");
        case 2:
            return owner_.toggle("camera_guide");
        default:
            return owner_.toggle("cache_display");
    }
}

bool view3d::active() const {
    return panel_toggle(1) || panel_toggle(2) || frame_shown();
}

bool view3d::scene_view() const {
    return panel_toggle(0, true);
}

camera_state view3d::camera() const {
    mutex_hold hold(camera_lock_);
    return cam_;
}

void view3d::set_camera(const camera_state& c) {
    {
        mutex_hold hold(camera_lock_);
        cam_ = c;
    }
    publish_camera();
}

camera_values view3d::camera_snapshot() const {
    mutex_hold hold(camera_lock_);
    return published_;
}

projection view3d::current_projection() const {
    mutex_hold hold(camera_lock_);
    return last_projection_;
}

vec3 view3d::transform_point(int frame, const vec3& p) const {
    return strict_at(scene_camera_keys, frame, "the scene camera's keys").apply(p);
}

void view3d::publish_camera() {
    camera_values v;
    const bool through_scene = scene_view();
    vec3 eye;
    if (through_scene) eye = transform_point(owner_.link().current_frame, vec3());
    mutex_hold hold(camera_lock_);
    v.focal_mag = cam_.focal_mag;
    v.position = cam_.position;
    v.brush_distance = cam_.focal_mag;
    v.scene_view = through_scene;
    v.scene_eye = eye;
    if (through_scene && frame_shown()) {
        auto it = frame_centres_.find(owner_.link().current_frame);
        if (it != frame_centres_.end()) v.brush_distance = length(it->second - eye);
    }
    published_ = v;
    if (!isValid())
        last_projection_ = camera_projection(cam_, float(width()) / float(std::max(1, height())));
}

bool view3d::picture_complete() const {
    const frame_set* fs = frame_shown() ? current_frame() : nullptr;
    if (!fs || fs->touched || owner_.active_scene() != pictured_scene_ ||
        building_.count(fs->frame))
        return false;
    auto it = pictures_.find(fs->frame);
    return it != pictures_.end() && shown_whole_ == std::make_pair(fs->frame, it->second.version);
}

void view3d::release_pictures() {
    // Pictures belong to this context; without one (never shown) there is nothing to delete,
    // and another thread must not touch it.
    if (QThread::currentThread() != thread()) return;
    const bool gl = context() && !pictures_.empty();
    if (gl) makeCurrent();
    drop_pictures(gl);
    if (gl) doneCurrent();
}

void view3d::drop_pictures(bool gl) {
    if (gl)
        for (auto& [number, picture] : pictures_) {
            picture.points.release();
            if (picture.spheres) glDeleteLists(picture.spheres, 1);
        }
    pictures_.clear();
    // Builds and searches under way belong to the old round: their results are let go.
    ++scene_round_;
    pictured_scene_ = nullptr;
    building_.clear();
    shown_whole_.reset();
    whole_key_.clear();
    onion_key_.clear();
    mutex_hold hold(inbox_->lock);
    inbox_->ready.clear();
}

void view3d::follow_scene() {
    if (owner_.active_scene() == pictured_scene_) return;
    // Called in a paint: the context is current.
    drop_pictures(true);
    pictured_scene_ = owner_.active_scene();
}

// ---- Camera setup and picking ----

void view3d::camera_setup() {
    if (!active()) return;
    const scene_key* key = nullptr;
    if (scene_view())
        key = &strict_at(scene_camera_keys, int(owner_.link().current_frame),
                         "the scene camera's keys");
    projection p;
    {
        mutex_hold hold(camera_lock_);
        p = camera_projection(cam_, float(width()) / float(std::max(1, height())), key,
                              scene_camera_aspect, scene_camera_scale);
        last_projection_ = p;
    }
    gluPerspective(p.fov, p.aspect, p.z_near, p.z_far);
    gluLookAt(p.eye[0], p.eye[1], p.eye[2], p.centre[0], p.centre[1], p.centre[2], p.up[0], p.up[1],
              p.up[2]);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
}

namespace {

// Whether the box lo..hi may meet the region that the projection matrix (column-major, model-view
// identity) maps into the clip cube: false only when all its corners lie clearly outside one of
// the six clip planes. The slack keeps boxes that GL's own clipping might still let through.
bool may_meet(const GLdouble* m, const vec3& lo, const vec3& hi) {
    for (int axis = 0; axis < 3; ++axis)
        for (double sign : {1.0, -1.0}) {
            double plane[4], reach = 0.0, value = 0.0;
            for (int c = 0; c < 4; ++c)
                plane[c] = m[4 * c + 3] + sign * m[4 * c + axis];
            for (int c = 0; c < 3; ++c) {
                const double a = plane[c];
                value += a * (a >= 0.0 ? hi[c] : lo[c]);
                reach +=
                    std::fabs(a) * std::max(std::fabs(double(lo[c])), std::fabs(double(hi[c])));
            }
            value += plane[3];
            reach += std::fabs(plane[3]);
            if (value < -1e-6 * reach) return false;
        }
    return true;
}

}  // namespace

std::vector<float> view3d::pick_boxes(frame_set& fs, bool every_box) const {
    GLdouble m[16];
    glGetDoublev(GL_PROJECTION_MATRIX, m);
    const float margin = debug_margin(fs);
    // Boxes far smaller than a pixel (a frame of one particle has boxes of no size) slip between
    // the pick's pixel centres: they are picked at least four pixels wide, which leaves room for
    // the rounding of the pointer's position. Larger boxes keep their size.
    const float least = 4.0f * camera_snapshot().brush_distance *
                        space_for_pixels(current_projection(), height(), 1.0f);
    std::vector<float> vertices;
    fs.tree.visit_boxes(
        std::max(margin, least),
        [&](const vec3& lo, const vec3& hi) { return every_box || may_meet(m, lo, hi); },
        [&](int slot) {
            const box_table::box& b = fs.tree.boxes().at(slot);
            vec3 lo = b.lo - vec3(margin, margin, margin), hi = b.hi + vec3(margin, margin, margin);
            for (int i = 0; i < 3; ++i) {
                const float grow = 0.5f * (least - (hi[i] - lo[i]));
                if (grow > 0.0f) lo[i] -= grow, hi[i] += grow;
            }
            box_triangles(lo, hi, vertices, nullptr);
        });
    return vertices;
}

bool view3d::pick(const QPointF& position, bool every_box) {
    window_link& link = owner_.link();
    if (!context()) {
        link.view.hit = false;
        return false;
    }
    makeCurrent();
    const qreal ratio = devicePixelRatioF();
    const int w = int(width() * ratio), h = int(height() * ratio);
    glViewport(0, 0, w, h);

    GLuint buffer[500] = {0};
    glSelectBuffer(500, buffer);
    glRenderMode(GL_SELECT);
    glMatrixMode(GL_PROJECTION);
    glInitNames();
    glPushName(0);
    glPushMatrix();
    glLoadIdentity();
    GLint viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    const int wx = int(position.x() * ratio);
    const int wy = int(h - position.y() * ratio);
    gluPickMatrix(wx, wy, 1.0, 1.0, viewport);
    camera_setup();
    if (frame_set* fs = current_frame()) {
        // A step changing the node bounds holds the lock: this move then finds nothing.
        const std::unique_lock<mutex> hold = fs->hold_bounds(std::try_to_lock);
        if (hold.owns_lock()) {
            const std::vector<float> boxes = pick_boxes(*fs, every_box);
            if (!boxes.empty()) {
                glColor4f(1.0f, 1.0f, 1.0f, 0.0f);
                glPushName(1);
                gl::mesh(int(boxes.size() / 3), boxes.data(), nullptr);
                glPopName();
            }
        }
    }
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glRenderMode(GL_RENDER);
    link.view.hit = false;

    if (buffer[0] == 0 || buffer[2] == 0) {
        last_pick_mouse_ = position;
        doneCurrent();
        return false;
    }
    const double z = double(buffer[1]) * 2.3283064e-10;
    // Unproject through the camera itself, not through whatever the last paint left behind.
    glLoadIdentity();
    camera_setup();
    GLdouble model[16], proj[16];
    glGetDoublev(GL_MODELVIEW_MATRIX, model);
    glGetDoublev(GL_PROJECTION_MATRIX, proj);
    GLdouble px = 0, py = 0, pz = 0;
    gluUnProject(wx, wy, z, model, proj, viewport, &px, &py, &pz);
    link.view.set_pick_point(vec3(float(px), float(py), float(pz)));
    link.view.hit = true;
    last_pick_mouse_ = position;
    doneCurrent();
    return true;
}

// ---- Mouse ----

void view3d::mousePressEvent(QMouseEvent* event) {
    if (ring_ != ring::none) {
        // A click ends the ring, and only that: its release starts or ends nothing.
        if (event->button() == Qt::LeftButton || event->button() == Qt::RightButton) {
            close_ring(event->button() == Qt::LeftButton);
            ring_click_ = event->button();
        }
        return;
    }
    last_mouse_ = event->position();
    button(event, true);
}

void view3d::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == ring_click_) {
        ring_click_ = Qt::NoButton;
        return;
    }
    button(event, false);
}

void view3d::button(QMouseEvent* event, bool pressed) {
    if (!pressed && !frame_shown() && (brush_middle_ || brush_right_ || brush_left_)) {
        drop_brush_drag();
        return;
    }
    if (!active()) return;
    window_link& link = owner_.link();
    const Qt::MouseButton which = event->button();
    const key_state keys = held_keys(owner_);
    if (pressed) owner_.set_camera_mode(keys.at("alt"));
    if (which == Qt::MiddleButton && owner_.middle_navigates() && !brush_left_ && !brush_right_ &&
        (pressed ? !link.view.drag_active && !keys.at("alt")
                 : cam_translate_ || cam_scale_ || cam_rotate_)) {
        // The middle button alone orbits; with Shift it pans, with Ctrl it dollies.
        bool& flag = keys.at("shift") ? cam_translate_ : keys.at("ctrl") ? cam_scale_ : cam_rotate_;
        if (pressed) {
            flag = true;
            owner_.set_camera_mode(true);
            link.log(QString("camera control / ") + (&flag == &cam_translate_ ? "translate"
                                                     : &flag == &cam_scale_   ? "scale"
                                                                              : "rotate"));
        } else {
            cam_translate_ = cam_scale_ = cam_rotate_ = false;
            owner_.set_camera_mode(false);
        }
        link.view.drag_active = pressed;
        return;
    }
    if (owner_.camera_mode()) {
        const char* name = nullptr;
        if (which == Qt::MiddleButton) {
            cam_translate_ = pressed;
            name = "translate";
        } else if (which == Qt::RightButton) {
            cam_scale_ = pressed;
            name = "scale";
        } else if (which == Qt::LeftButton) {
            cam_rotate_ = pressed;
            name = "rotate";
        }
        if (name) {
            link.view.drag_active = pressed;
            if (pressed) link.log(QString("camera control / ") + name);
        }
    } else if (frame_shown()) {
        bool known = true;
        if (which == Qt::MiddleButton) {
            brush_middle_ = pressed;
            if (!pressed)
                link.log("brush size space / " + QString::number(owner_.tool().space(), 'g', 6));
        } else if (which == Qt::RightButton) {
            brush_right_ = pressed;
        } else if (which == Qt::LeftButton) {
            brush_left_ = pressed;
            // A stroke that Esc cancelled is over already: its release ends nothing.
            if (pressed)
                stroke_cancelled_ = false;
            else if (!std::exchange(stroke_cancelled_, false))
                stroke_end();
        } else {
            known = false;
        }
        if (known) link.view.drag_active = pressed;
    }
    if (!pressed) owner_.set_camera_mode(false);
}

void view3d::drop_brush_drag() {
    // The frame went away during the drag (scene replaced, stepping off). The drag still ends,
    // or its flags would block undo and background work for good; nothing is propagated from a
    // frame that is no longer shown.
    window_link& link = owner_.link();
    brush_middle_ = brush_right_ = brush_left_ = false;
    stroke_cancelled_ = false;
    while (link.view.busy)
        QThread::yieldCurrentThread();
    link.view.stroke_steps = 0;
    link.view.drag_active = false;
    owner_.set_camera_mode(false);
}

void view3d::stroke_end() {
    window_link& link = owner_.link();
    // The worker clears busy however its job ends, so this wait is short.
    while (link.view.busy)
        QThread::yieldCurrentThread();
    link.log("stroke length / " + brush_name(owner_.tool().type()) + " / " +
             QString::number(link.view.stroke_steps.load()));
    link.view.stroke_steps = 0;
    if (emitter* e = owner_.active_scene()) e->add_near(owner_.held_buttons());
    owner_.scene_edited();
    update();
}

void view3d::cancel_stroke() {
    emitter* e = owner_.active_scene();
    if (!brush_left_ || !e) return;
    e->cancel_stroke();  // waits for the step under way
    window_link& link = owner_.link();
    brush_left_ = false;
    stroke_cancelled_ = true;
    link.view.stroke_steps = 0;
    // A size drag held beside the stroke goes on.
    link.view.drag_active = brush_middle_ || brush_right_;
    owner_.scene_edited();
    update();
}

bool view3d::frame_particles() {
    if (!frame_shown() || scene_view()) return false;
    frame_set& fs = *current_frame();
    std::vector<vec3> points;
    {
        // A worker stepping the frame moves its particles: try again at the next press.
        std::unique_lock<mutex> hold = fs.hold_particles(std::try_to_lock);
        if (!hold.owns_lock()) return false;
        points.reserve(fs.particles.size());
        for (const auto& [id, p] : fs.particles)
            if (p.live()) points.push_back(p.position);
    }
    return frame_points(points);
}

bool view3d::frame_all() {
    emitter* e = owner_.active_scene();
    if (!owner_.link().stepping || scene_view()) return false;
    std::vector<vec3> points;
    if (e)
        for (auto& [number, fs] : e->frames) {
            // Frames a worker has are left out rather than waited for.
            std::unique_lock<mutex> hold = fs.hold_particles(std::try_to_lock);
            if (!hold.owns_lock()) continue;
            for (const auto& [id, p] : fs.particles)
                if (p.live()) points.push_back(p.position);
        }
    return frame_points(points);
}

bool view3d::frame_points(std::vector<vec3>& points) {
    // Shown geometry is framed with the particles.
    if (panel_toggle(1)) {
        if (geometry_lock.try_lock()) {
            mutex_hold hold(geometry_lock, std::adopt_lock);
            for (size_t i = 0; i + 2 < geometry_vertices.size(); i += 3)
                points.emplace_back(geometry_vertices[i], geometry_vertices[i + 1],
                                    geometry_vertices[i + 2]);
        }
    }
    if (points.empty()) return false;
    {
        mutex_hold hold(camera_lock_);
        cam_ = framed(cam_, points, float(width()) / float(std::max(1, height())));
    }
    publish_camera();
    update();
    return true;
}

bool view3d::open_ring(ring which) {
    if (which == ring::none || ring_ != ring::none || !frame_shown() || scene_view() ||
        owner_.link().view.drag_active || owner_.playing())
        return false;
    // Where the pointer last moved over the viewport (the middle once it left).
    const QPointF at = hover_;
    const brush& tool = owner_.tool();
    ring_ = which;
    ring_before_ = which == ring::size ? tool.space() : tool.power();
    // The pointer starts on the ring, which shows the value as it is.
    const float radius = which == ring::size
                             ? pixels_for_space(current_projection(), height(), ring_before_)
                             : ring_before_ * strength_ring_pixels;
    ring_centre_ = at - QPointF(radius, 0.0);
    update();
    return true;
}

void view3d::close_ring(bool keep) {
    if (ring_ == ring::none) return;
    brush& tool = owner_.tool();
    const bool size = ring_ == ring::size;
    ring_ = ring::none;
    if (!keep) {
        if (size)
            tool.set_space(ring_before_);
        else
            tool.set_power(ring_before_);
        owner_.link().log("brush ring / cancel");
    } else if (size) {
        owner_.link().log("brush size space / " + QString::number(tool.space(), 'g', 6));
    } else {
        owner_.link().log("brush power / " + QString::number(tool.power(), 'g', 6));
    }
    // The frame's selection colours follow the brush size.
    if (frame_set* fs = current_frame()) fs->touched = true;
    update();
}

void view3d::ring_move(const QPointF& position) {
    const QPointF d = position - ring_centre_;
    const float distance = float(std::sqrt(d.x() * d.x() + d.y() * d.y()));
    brush& tool = owner_.tool();
    if (ring_ == ring::size)
        tool.set_space(clamped_space(space_for_pixels(current_projection(), height(), distance),
                                     camera().focal_mag));
    else
        tool.set_power(std::clamp(distance / strength_ring_pixels, 0.01f, 1.0f));
    update();
}

void view3d::wheelEvent(QWheelEvent* event) {
    const int notches = event->angleDelta().y();
    // Through the scene camera, or mid-drag, the view is not the wheel's to change.
    if (!active() || notches == 0 || scene_view() || owner_.link().view.drag_active) {
        event->ignore();
        return;
    }
    const float factor = std::pow(0.85f, float(notches) / 120.0f);
    {
        mutex_hold hold(camera_lock_);
        cam_ = zoomed_towards(cam_, last_projection_, width(), height(), event->position(), factor);
    }
    publish_camera();
    owner_.link().log(QString("camera control / ") + (notches > 0 ? "zoom in" : "zoom out"));
    note_motion();
    update();
    event->accept();
}

void view3d::leaveEvent(QEvent* event) {
    // The brush is no longer over the frame: its cursor goes with it.
    owner_.link().view.hit = false;
    hover_ = QPointF(width() * 0.5, height() * 0.5);
    update();
    QOpenGLWidget::leaveEvent(event);
}

void view3d::mouseMoveEvent(QMouseEvent* event) {
    hover_ = event->position();
    if (!active()) return;
    const QPointF position = event->position();
    if (ring_ != ring::none) {
        ring_move(position);
        return;
    }
    if (owner_.camera_mode()) {
        if (!camera_drag(position)) {
            update();
            return;
        }
    } else {
        brush_move(position);
    }
    if (frame_shown()) owner_.active_scene()->note_user_activity();
    update();
    owner_.redraw_timeline();
}

bool view3d::camera_drag(const QPointF& position) {
    if (scene_view()) return false;
    const float dx = float(position.x() - last_mouse_.x());
    const float dy = float(position.y() - last_mouse_.y());
    {
        mutex_hold hold(camera_lock_);
        if (cam_translate_) {
            translate_drag(cam_, dx, dy);
            last_mouse_ = position;
        } else if (cam_scale_) {
            scale_drag(cam_, dx);
            last_mouse_.setX(position.x());
        } else if (cam_rotate_) {
            rotate_drag(cam_, dx, dy);
            last_mouse_ = position;
        }
    }
    if (cam_translate_ || cam_scale_ || cam_rotate_) note_motion();
    publish_camera();
    return true;
}

void view3d::brush_move(const QPointF& position) {
    if (!frame_shown() || owner_.playing()) return;
    brush& tool = owner_.tool();
    if (brush_middle_ || brush_right_) {
        const float dx = float(position.x() - last_mouse_.x());
        if (brush_middle_) tool.drag_space(dx, camera().focal_mag);
        if (brush_right_) tool.drag_power(dx);
        last_mouse_.setX(position.x());
        return;
    }
    if (!pick(position) && !pick_off_surface(position)) return;
    if (tool.type() == brush_kind::scale && !owner_.toggle("cache_display")) return;
    update_brush_vector();

    if (brush_left_) {
        note_motion();
        owner_.active_scene()->send_stroke_step(owner_.held_buttons());
    }
}

bool view3d::pick_off_surface(const QPointF& position) {
    window_link& link = owner_.link();
    // Only a Grab that has taken hold of particles goes on into space; the other brushes act
    // on the surface under the pointer.
    if (!brush_left_ || link.view.stroke_steps < 1 || owner_.tool().type() != brush_kind::grab)
        return false;
    link.view.set_pick_point(view_plane_point(current_projection(), width(), height(), position,
                                              link.view.pick_point()));
    last_pick_mouse_ = position;
    return true;
}

void view3d::update_brush_vector() {
    vector_input in;
    in.frame = current_frame();
    in.pick_point = owner_.link().view.pick_point();
    in.pick_mouse = last_pick_mouse_;
    const camera_state c = camera();
    in.tangent = c.focal_tangent;
    in.up = c.focal_normal;
    const vec3 eye =
        scene_view() ? transform_point(int(owner_.link().current_frame), vec3()) : c.position;
    in.facing = eye - in.pick_point;
    in.ctrl = held_keys(owner_).at("ctrl");
    owner_.tool().update_vector(in);
}

void view3d::keys_changed() {
    if (!frame_shown()) return;
    update_brush_vector();
    update();
}

void view3d::resizeGL(int, int) {
    publish_camera();
}

}  // namespace kavrin
