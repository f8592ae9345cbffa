// The viewport's paint: particles from per-frame pictures, debug overlays, imported geometry,
// ground grid, scene-camera guide and brush cursor.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <mutex>
#include <new>
#include <optional>

#include <GL/gl.h>

#include <QOpenGLContext>
#include <QOpenGLExtraFunctions>
#include <QOpenGLFramebufferObject>

#include "base/parallel.h"
#include "base/rotation.h"
#include "dynamics/frame_set.h"
#include "dynamics/frame_step.h"
#include "dynamics/octree.h"
#include "scene/emitter.h"
#include "view/brush.h"
#include "view/gl_draw.h"
#include "view/particle_look.h"
#include "view/view3d.h"
#include "view/view_owner.h"

namespace kavrin {

namespace {

// The nodes of a settled frame's octree, collected while hold keeps the workers off the frame;
// none when the frame is changing or a worker has it (the paint never waits).
std::vector<oct_tree*> settled_nodes(frame_set& fs, std::unique_lock<mutex>& hold) {
    std::vector<oct_tree*> nodes;
    if (fs.settled && hold.try_lock()) collect(fs.tree.root(), nodes);
    return nodes;
}

// A node's colour by its depth, from red at the root.
vec3 depth_colour(const frame_set& fs, const oct_tree& node) {
    return heat(float(node.depth) / float(std::max(1, fs.tree.depth())), 1.3f, 0.0f);
}

scene_figures figures_of(const emitter& e) {
    return {e.point_count(), int(e.frames.size()), e.max_scale()};
}

}  // namespace

void view3d::initializeGL() {
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    sphere_list_ = gl::sphere_list(32, 64);
    small_sphere_list_ = gl::sphere_list(8, 16);
}

void view3d::paintGL() {
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    // Blending must not lower the alpha of the picture: grabs of the window would look washed
    // out.
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_FALSE);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    camera_setup();
    publish_camera();
    follow_scene();
    collect_pictures();

    if (frame_shown()) {
        scene_frame& fs = *current_frame();
        const int level = owner_.show_debug();
        const bool particles = level != 4 && level != 7;
        // The current frame first: it has the first claim on a worker for its picture. The
        // brush distance through a scene camera depends on the frame just measured.
        if (particles && refresh_picture(fs, owner_.toggle("cache_display"))) publish_camera();
        const int onion = particles ? owner_.onion_frames() : 0;
        if (onion > 0) draw_onion_skin(fs, onion);
        glEnable(GL_DEPTH_TEST);
        draw_overlay_before(fs, level);
        if (particles) {
            draw_particles(fs);
            prefetch_neighbours(fs);
        }
        glDisable(GL_DEPTH_TEST);
        if (level == 2) draw_debug_geometry(fs);
    }
    draw_imported_geometry();
    glEnable(GL_DEPTH_TEST);
    draw_ground_grid();
    draw_camera_guide();
    glDisable(GL_DEPTH_TEST);
    draw_brush_cursor();
    draw_ring();
    glFlush();
}

// ---- Particles ----

namespace {

// Frames up to this many particles are made into pictures on the GUI thread, in a few
// milliseconds; larger ones on a worker, the old picture showing meanwhile.
constexpr size_t build_here_limit = 200000;
// Live particles drawn into a whole picture per paint: a software renderer draws them in well
// under a tenth of a second.
constexpr size_t whole_slice = 100000;
// Past this many changed places (a long stroke over much of a frame) painting the whole
// picture again costs less than finding where they show.
constexpr size_t repaint_place_limit = 1000000;

}  // namespace

void view3d::frame_picture::renewed() {
    ++version;
    repaint_base = version;
    repaint_places.clear();
    repaint_places.shrink_to_fit();
}

void view3d::frame_picture::changed(picture_change&& change) {
    if (!change.known || repaint_places.size() + change.places.size() > repaint_place_limit) {
        renewed();
        return;
    }
    ++version;
    repaint_places.insert(repaint_places.end(), change.places.begin(), change.places.end());
}

selection_look view3d::current_look() const {
    selection_look sel;
    sel.pick_point = owner_.link().view.pick_point();
    sel.space = owner_.tool().space();
    sel.focal_mag = camera().focal_mag;
    sel.mirror = owner_.held_buttons().mirror;
    return sel;
}

view3d::frame_picture* view3d::picture_of(const frame_set& fs) {
    auto it = pictures_.find(fs.frame);
    return it == pictures_.end() ? nullptr : &it->second;
}

view3d::frame_picture& view3d::new_picture(frame_set& fs) {
    return pictures_[fs.frame];
}

void view3d::adopt(frame_set& fs, frame_picture& picture, picture_data&& data) {
    if (data.has_centre) frame_centres_[fs.frame] = data.centre;
    if (picture.spheres != 0) glDeleteLists(picture.spheres, 1);
    picture.spheres = 0;
    picture.sphere_mode = false;
    picture.points.upload(std::move(data));
    picture.renewed();
}

void view3d::collect_pictures() {
    std::map<int, picture_inbox::result> got;
    {
        mutex_hold hold(inbox_->lock);
        got.swap(inbox_->ready);
    }
    emitter* e = owner_.active_scene();
    for (auto& [number, r] : got) {
        // A result of an earlier scene's round was let go with its pictures.
        if (r.round != scene_round_) continue;
        building_.erase(number);
        if (!r.made || !e) continue;
        auto it = e->frames.find(number);
        if (it == e->frames.end()) continue;
        if (frame_picture* picture = picture_of(it->second)) {
            adopt(it->second, *picture, std::move(r.data));
            r.part.version = picture->version;
            picture->found_part = std::move(r.part);
        }
    }
    if (building_.empty() && !finding_visible_) picture_poll_.stop();
}

void view3d::build_on_worker(frame_set& fs) {
    // One build at a time: the other core is the stroke's and the background's.
    if (!building_.empty() || !owner_.active_scene()) return;
    new_picture(fs);
    const int number = fs.frame;
    building_.insert(number);
    picture_poll_.start();
    // The part that can show is found with the picture, for the view as it is now: a frame
    // shown next in this view needs no search of its own.
    emitter& e = *owner_.active_scene();
    const float size = points_size(e);
    auto task = [inbox = inbox_, frame = &fs, number, round = scene_round_, sel = current_look(),
                 screen = screen_mapping::current(), size, view = whole_view_key(fs, size),
                 threads = e.worker_threads()] {
        picture_inbox::result r;
        r.round = round;
        // A worker stepping the frame may hold it a while: the build gives up and is asked
        // again, rather than keep this worker waiting.
        if (const std::unique_lock<mutex> hold =
                frame->hold_particles(std::chrono::milliseconds(100));
            hold.owns_lock()) {
            if (frame->settled) {
                // Cleared first: a change after this reading asks for the next picture.
                frame->touched = false;
                try {
                    r.data = make_picture_data(*frame, sel);
                    r.made = true;
                } catch (const std::bad_alloc&) {
                    // Without memory for the picture the frame stays due; the result below
                    // still frees the one build slot for the others.
                    frame->touched = true;
                }
            }
        }
        if (r.made && r.data.live.size() > whole_slice) {
            try {
                r.part.slots = visible_slots(r.data.positions, r.data.live, screen, size, threads);
                r.part.view = view;
            } catch (const std::bad_alloc&) {
                // The painting then asks for the part itself.
            }
        }
        mutex_hold hold(inbox->lock);
        inbox->ready[number] = std::move(r);
    };
    post({"task", e.window}, e.jobs, std::move(task));
}

void view3d::compile_spheres(frame_set& fs, frame_picture& picture) {
    const selection_look sel = current_look();
    const scene_figures figures = figures_of(*owner_.active_scene());
    const int size = owner_.particle_size();
    picture.points.release();
    if (picture.spheres == 0) picture.spheres = glGenLists(1);
    picture.sphere_mode = true;
    picture.renewed();
    point_box box;
    glNewList(picture.spheres, GL_COMPILE);
    for (const auto& [id, p] : fs.particles) {
        if (std::clamp(p.weight, 0.0f, 1.0f) == 0.0f) continue;
        box.add(p.position);
        gl::sphere(p.position, sphere_radius(size, figures, p.scale), particle_colour(p, true, sel),
                   1.0f, small_sphere_list_);
    }
    glEndList();
    if (box.min[0] <= box.max[0]) frame_centres_[fs.frame] = (box.min + box.max) * 0.5f;
}

bool view3d::refresh_picture(frame_set& fs, bool cache_display) {
    frame_picture* picture = picture_of(fs);
    const bool due = fs.touched || !picture || picture->sphere_mode != cache_display;
    // A frame that a worker is still changing shows its last picture until it settles, and a
    // build under way brings the next one (a stroke step after it is applied to its result).
    if (!due || !fs.settled || building_.count(fs.frame)) return false;
    std::unique_lock<mutex> hold = fs.hold_particles(std::defer_lock);
    const bool small = fs.particles.size() <= build_here_limit;
    const bool brushed = picture && !picture->sphere_mode && !cache_display &&
                         !picture->points.empty() && fs.brushed_only;
    if (!(small || brushed || cache_display)) {
        build_on_worker(fs);
        return false;
    }
    if (!hold.try_lock()) return false;
    // Cleared first: a worker that touches the frame again meanwhile gets another refresh.
    fs.touched = false;
    frame_picture& target = new_picture(fs);
    if (cache_display) {
        compile_spheres(fs, target);
    } else if (brushed) {
        target.changed(
            target.points.update(fs, owner_.active_scene()->selection(), current_look()));
    } else {
        adopt(fs, target, make_picture_data(fs, current_look()));
    }
    return true;
}

void view3d::draw_particles(frame_set& fs) {
    shown_sample_ = 0;
    shown_whole_.reset();
    frame_picture* picture = picture_of(fs);
    if (!picture) return;
    bool whole = true;
    // Particles are opaque: blending them would only cost time.
    glDisable(GL_BLEND);
    if (picture->sphere_mode) {
        if (picture->spheres != 0) glCallList(picture->spheres);
    } else {
        const float size = points_size(*owner_.active_scene());
        glPointSize(size);
        if (moving() && picture->points.sample_step() > 1) {
            picture->points.draw(true);
            shown_sample_ = picture->points.sample_step();
            whole = false;
        } else if (picture->points.live_count() > whole_slice) {
            whole = draw_whole_in_slices(fs, *picture, size);
        } else {
            picture->points.draw(false);
        }
    }
    glEnable(GL_BLEND);
    if (whole) shown_whole_ = std::make_pair(fs.frame, picture->version);
}

std::vector<double> view3d::whole_view_key(const frame_set& fs, float size) const {
    const qreal ratio = devicePixelRatioF();
    const int w = int(width() * ratio), h = int(height() * ratio);
    const projection p = current_projection();
    return {double(w),   double(h), size,     p.fov,    p.aspect,         p.z_near,
            p.z_far,     p.eye[0],  p.eye[1], p.eye[2], p.centre[0],      p.centre[1],
            p.centre[2], p.up[0],   p.up[1],  p.up[2],  double(fs.frame), double(scene_round_)};
}

bool view3d::draw_whole_in_slices(const frame_set& fs, frame_picture& picture, float size) {
    const qreal ratio = devicePixelRatioF();
    const int w = int(width() * ratio), h = int(height() * ratio);
    const std::vector<double> key = whole_view_key(fs, size);
    const bool fits = whole_picture_ && whole_picture_->size() == QSize(w, h);
    const bool same_view = fits && key == whole_key_;
    // Every change since the painting was whole is known: it is brought up to date in place.
    const bool current = whole_complete_ && whole_version_ >= picture.repaint_base;
    std::optional<QRect> box;
    const bool start_over = !same_view || (whole_version_ != picture.version &&
                                           !(current && (box = repaint_box(picture, size))));
    std::optional<std::vector<uint32_t>> part;
    // A newer picture of the frame being made would throw a new painting away; a new painting
    // waits for the part of the picture that can show. Meanwhile the sample shows.
    if (start_over && (building_.count(fs.frame) || !(part = visible_part(key, picture, size)))) {
        picture.points.draw(true);
        return false;
    }
    QOpenGLExtraFunctions& gl = *QOpenGLContext::currentContext()->extraFunctions();
    if (!fits) {
        // Depth and stencil as the view's own buffer has them, so the depth can be copied.
        whole_picture_ = std::make_unique<QOpenGLFramebufferObject>(
            w, h, QOpenGLFramebufferObject::CombinedDepthStencil);
    }
    whole_picture_->bind();
    // Alpha is written here: it tells the particles from the empty background below.
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    if (start_over) {
        glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
        whole_key_ = key;
        whole_done_ = 0;
        whole_complete_ = false;
        picture.points.set_part(*part);
    } else if (box) {
        repaint_inside(picture, *box);
    }
    whole_version_ = picture.version;
    if (!whole_complete_) {
        // In the whole picture's order, so the result is that of one draw.
        picture.points.draw_part(whole_done_, whole_slice);
        whole_done_ += whole_slice;
        if (whole_done_ >= picture.points.part_count()) {
            // What the changes so far did is in the painting now.
            whole_complete_ = true;
            picture.repaint_base = picture.version;
            picture.repaint_places.clear();
        }
    }
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_FALSE);
    gl.glBindFramebuffer(GL_READ_FRAMEBUFFER, whole_picture_->handle());
    gl.glBindFramebuffer(GL_DRAW_FRAMEBUFFER, defaultFramebufferObject());
    gl.glBlitFramebuffer(0, 0, w, h, 0, 0, w, h, GL_DEPTH_BUFFER_BIT, GL_NEAREST);
    gl.glBindFramebuffer(GL_FRAMEBUFFER, defaultFramebufferObject());

    // The colours laid over what is there: a particle's alpha is 1 and replaces it exactly,
    // the background's is 0 and keeps it (the onion skin).
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glDisable(GL_DEPTH_TEST);
    glEnable(GL_BLEND);
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, whole_picture_->texture());
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    glBegin(GL_QUADS);
    glTexCoord2f(0.0f, 0.0f);
    glVertex2f(-1.0f, -1.0f);
    glTexCoord2f(1.0f, 0.0f);
    glVertex2f(1.0f, -1.0f);
    glTexCoord2f(1.0f, 1.0f);
    glVertex2f(1.0f, 1.0f);
    glTexCoord2f(0.0f, 1.0f);
    glVertex2f(-1.0f, 1.0f);
    glEnd();
    glBindTexture(GL_TEXTURE_2D, 0);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_BLEND);
    glEnable(GL_DEPTH_TEST);
    glPopMatrix();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);

    // The next slice comes with the next turn of the event loop.
    if (!whole_complete_) QTimer::singleShot(0, this, [this] { update(); });
    return whole_complete_;
}

std::optional<std::vector<uint32_t>> view3d::visible_part(const std::vector<double>& key,
                                                          frame_picture& picture, float size) {
    if (picture.found_part && picture.found_part->view == key &&
        picture.found_part->version == picture.version) {
        std::vector<uint32_t> slots = std::move(picture.found_part->slots);
        picture.found_part.reset();
        return slots;
    }
    {
        mutex_hold hold(inbox_->lock);
        if (inbox_->visible) {
            picture_inbox::visible_result found = std::move(*inbox_->visible);
            inbox_->visible.reset();
            finding_visible_ = false;
            if (found.view == key && found.version == picture.version)
                return std::move(found.slots);
        }
    }
    // One search at a time: a search for a view or picture gone by is let finish, and the
    // next is asked for with its result.
    emitter* e = owner_.active_scene();
    if (finding_visible_ || !e) return std::nullopt;
    finding_visible_ = true;
    picture_poll_.start();
    auto task = [inbox = inbox_, inputs = picture.points.visible_inputs(),
                 screen = screen_mapping::current(), size, key, version = picture.version,
                 threads = e->worker_threads()] {
        picture_inbox::visible_result found{key, version, {}};
        try {
            found.slots = visible_slots(*inputs.positions, *inputs.live, screen, size, threads);
        } catch (const std::bad_alloc&) {
            // Without memory to look, every live particle is painted.
            found.slots = *inputs.live;
        }
        mutex_hold hold(inbox->lock);
        inbox->visible = std::move(found);
    };
    post({"task", e->window}, e->jobs, std::move(task));
    return std::nullopt;
}

std::optional<QRect> view3d::repaint_box(const frame_picture& picture, float size) const {
    if (picture.repaint_places.empty()) return QRect();
    // Window positions of the places under the matrices the particles are drawn with; a
    // particle's point covers the pixel centres within size / 2 of it.
    const screen_mapping screen = screen_mapping::current();
    const int* viewport = screen.viewport;
    double x0 = viewport[2], y0 = viewport[3], x1 = -1.0, y1 = -1.0;
    for (const vec3& q : picture.repaint_places) {
        double ndc[3];
        // Behind the eye a point is clipped: it was not drawn and is not.
        if (!screen.project(q, ndc)) continue;
        const double wx = screen.window_x(ndc[0]), wy = screen.window_y(ndc[1]);
        x0 = std::min(x0, wx);
        x1 = std::max(x1, wx);
        y0 = std::min(y0, wy);
        y1 = std::max(y1, wy);
    }
    // Two pixels more than the point's half size: rounding of the projection never leaves a
    // covered pixel out.
    const double reach = size * 0.5 + 2.0;
    const int left = std::max(viewport[0], int(std::floor(x0 - reach)));
    const int bottom = std::max(viewport[1], int(std::floor(y0 - reach)));
    const int right = std::min(viewport[0] + viewport[2], int(std::ceil(x1 + reach)));
    const int top = std::min(viewport[1] + viewport[3], int(std::ceil(y1 + reach)));
    if (left >= right || bottom >= top) return QRect();
    const QRect box(left, bottom, right - left, top - bottom);
    // Painting again inside the box draws every live particle: past an eighth of the view a
    // new painting of the part that can show costs less.
    if (8.0 * box.width() * box.height() > double(viewport[2]) * viewport[3]) return std::nullopt;
    return box;
}

void view3d::repaint_inside(const frame_picture& picture, const QRect& box) {
    if (box.isEmpty()) return;
    // Inside the box the painting is made again from nothing, in the whole picture's order:
    // every pixel there ends as one draw of the whole picture leaves it.
    glEnable(GL_SCISSOR_TEST);
    glScissor(box.x(), box.y(), box.width(), box.height());
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    picture.points.draw(false);
    glDisable(GL_SCISSOR_TEST);
}

float view3d::points_size(const emitter& e) const {
    return point_size(owner_.particle_size(), figures_of(e), current_projection().fov,
                      camera_snapshot().brush_distance, int(height() * devicePixelRatioF()));
}

void view3d::prefetch_neighbours(frame_set& fs) {
    // Only while the view rests and no other build runs: the frames a Left or Right key shows
    // next then have their pictures before they are asked for.
    if (moving() || !building_.empty() || owner_.toggle("cache_display")) return;
    for (const int sign : {1, -1}) {
        auto it = owner_.active_scene()->frames.find(fs.frame + sign);
        if (it == owner_.active_scene()->frames.end()) continue;
        scene_frame& n = it->second;
        if (n.needs_step() && !n.empty && n.particles.size() > build_here_limit)
            refresh_picture(n, false);
    }
}

void view3d::note_motion() {
    motion_end_.start();
}

// ---- Debug overlays ----

void view3d::draw_overlay_before(scene_frame& fs, int level) {
    switch (level) {
        case 1:
            draw_octree(fs);
            break;
        case 4:
            draw_normal_field(fs);
            break;
        case 5:
            draw_density_field(fs);
            break;
        case 6:
            draw_stroke_history(fs);
            break;
        case 7:
            draw_leaf_members(fs);
            break;
        default:
            break;
    }
}

// Level 1: every octree node as a wire cube, coloured by depth from red (root) to violet.
void view3d::draw_octree(frame_set& fs) {
    std::unique_lock<mutex> hold = fs.hold_particles(std::defer_lock);
    for (const oct_tree* n : settled_nodes(fs, hold))
        gl::wire_cube(centre(*n), 2.0f * n->half_size, depth_colour(fs, *n), 0.7f);
}

// Level 4: the grid's normal field: a fading line along each cell normal from the cell centre,
// and a sphere per cell sized by its density.
void view3d::draw_normal_field(frame_set& fs) {
    const std::unique_lock<mutex> hold = fs.grid.hold(std::try_to_lock);
    if (!hold.owns_lock() || fs.grid.cell_size() <= 0.0f) return;
    const float h = fs.grid.cell_size();
    for (const auto& [key, n] : fs.grid.normals()) {
        auto d = fs.grid.densities().find(key);
        const float density = d == fs.grid.densities().end() ? 0.0f : d->second;
        if (density <= 0.0f) continue;
        const vec3 c = (key_coords(key) + vec3(0.5f, 0.5f, 0.5f)) * h;
        const vec3 colour = n * 0.5f + vec3(0.5f, 0.5f, 0.5f);
        gl::line(c, c + n * (h * 0.8f), colour, true, 2.0f);
        gl::sphere(c, h * 0.15f * std::sqrt(density), colour, 1.0f, small_sphere_list_);
    }
}

// Level 5: the density field: a translucent sphere per cell, larger and warmer where dense.
void view3d::draw_density_field(frame_set& fs) {
    const std::unique_lock<mutex> hold = fs.grid.hold(std::try_to_lock);
    if (!hold.owns_lock() || fs.grid.cell_size() <= 0.0f) return;
    const float h = fs.grid.cell_size();
    for (const auto& [key, density] : fs.grid.densities()) {
        if (density <= 0.0f) continue;
        const vec3 c = (key_coords(key) + vec3(0.5f, 0.5f, 0.5f)) * h;
        gl::sphere(c, h * 0.45f * std::cbrt(density), heat(density, 0.0f, 1.0f) * 0.8f, 0.35f,
                   small_sphere_list_);
    }
}

// Level 6: the particles each stroke of the frame's undo history recorded, one hue per stroke
// (oldest red); "scale" and "remove" strokes move nothing and are left out.
void view3d::draw_stroke_history(scene_frame& fs) {
    const std::optional<history_hold> held = fs.try_read_history();
    if (!held || held->entries().empty()) return;
    const std::deque<stroke>& history = held->entries();
    const bool cache_display = owner_.toggle("cache_display");
    const scene_figures figures = figures_of(*owner_.active_scene());
    const int size = owner_.particle_size();
    const float last = float(std::max<size_t>(1, history.size() - 1));
    for (size_t i = 0; i < history.size(); ++i) {
        const stroke& s = history[i];
        if (channel_of(s.mode) != brush_channel::position) continue;
        const vec3 hue = heat(float(i) / last, 1.0f, 0.0f);
        for (const auto& [id, value] : s.recorded) {
            auto it = fs.particles.find(id);
            if (it == fs.particles.end()) continue;
            const particle& p = it->second;
            const float radius = sphere_radius(size, figures, cache_display ? p.scale : 1.0f);
            gl::sphere(p.position, radius * 1.5f, id % 2 == 0 ? hue * 0.8f : hue, 1.0f,
                       small_sphere_list_);
        }
    }
}

// Level 7: which leaf holds which particle: a line from each occupied leaf's centroid to each
// of its live members, coloured by the leaf's depth.
void view3d::draw_leaf_members(frame_set& fs) {
    std::unique_lock<mutex> hold = fs.hold_particles(std::defer_lock);
    const std::vector<oct_tree*> nodes = settled_nodes(fs, hold);
    glLineWidth(1.0f);
    glBegin(GL_LINES);
    for (const oct_tree* n : nodes) {
        if (!n->children.empty() || !n->occupied) continue;
        const vec3 c = depth_colour(fs, *n);
        for (const auto& [id, p] : n->members) {
            if (!p->live()) continue;
            glColor4f(c[0], c[1], c[2], 0.9f);
            glVertex3f(n->centroid[0], n->centroid[1], n->centroid[2]);
            glColor4f(1.0f, 1.0f, 1.0f, 0.9f);
            glVertex3f(p->position[0], p->position[1], p->position[2]);
        }
    }
    glEnd();
}

// Level 2: the occupied cells' boxes that picking uses, lit.
void view3d::draw_debug_geometry(frame_set& fs) {
    {
        // Made when the overlay needs it and kept while the frame is unchanged. The tree must
        // hold still meanwhile: a worker painting or stepping the frame holds its eat lock, and
        // then the boxes of the last build are shown.
        const std::unique_lock<mutex> eating = fs.hold_particles(std::try_to_lock);
        if (eating.owns_lock()) refresh_debug_geometry(fs);
    }
    fs.debug.try_draw([](int count, const float* vertices, const float* normals) {
        gl::lit_mesh(0.9f, count, vertices, normals);
    });
}

// ---- Scene elements ----

void view3d::draw_imported_geometry() {
    if (geometry_count < 1 || !panel_toggle(1)) return;
    if (!geometry_lock.try_lock()) return;
    mutex_hold hold(geometry_lock, std::adopt_lock);
    gl::lit_mesh(1.0f, geometry_count, geometry_vertices.data(), geometry_normals.data());
}

void view3d::draw_ground_grid() {
    if (!panel_toggle(2)) return;
    const float s =
        scene_view() ? scene_scale(scene_camera_scale) : scene_scale(length(camera().position));
    const float e = 10.0f * s;
    const vec3 grey(0.3f, 0.3f, 0.3f);
    for (int j = 0; j <= 20; ++j) {
        const float t = float(j) * s - e;
        if (j == 10) {
            // The positive halves of the middle lines are the axes.
            gl::line(vec3(-e, 0, 0), vec3(), grey, false, 1.0f);
            gl::line(vec3(0, 0, -e), vec3(), grey, false, 1.0f);
            continue;
        }
        gl::line(vec3(e, 0, t), vec3(-e, 0, t), grey, false, 1.0f);
        gl::line(vec3(t, 0, e), vec3(t, 0, -e), grey, false, 1.0f);
    }
    gl::line(vec3(), vec3(e, 0, 0), vec3(1, 0, 0), false, 2.0f);
    gl::line(vec3(), vec3(0, 0, e), vec3(0, 0, 1), false, 2.0f);
}

void view3d::draw_camera_guide() {
    const int frame = owner_.link().current_frame;
    if (!owner_.imported("camera") || !scene_camera_keys.count(frame) || scene_view() ||
        !panel_toggle(2))
        return;
    const scene_key& key = scene_camera_keys.at(frame);
    const float s = scene_scale(length(camera().position));
    // The camera looks along its local +X; the corner rays open by half the vertical view.
    const vec3 ray = rotate(vec3(2.0f * s, 0.0f, 0.0f), vec3(0.0f, 0.0f, 1.0f),
                            conv(key.fov, 1.0f / scene_camera_aspect) * 0.5f);
    vec3 corners[4];
    for (int i = 0; i < 4; ++i)
        corners[i] = key.apply(rotate(ray, vec3(1.0f, 0.0f, 0.0f), 90.0f * float(i)));
    const vec3 eye = key.apply(vec3());
    const vec3 grey(0.5f, 0.5f, 0.5f);
    for (int i = 0; i < 4; ++i) {
        gl::line(eye, corners[i], grey, false, 1.0f);
        gl::line(corners[i], corners[(i + 1) % 4], grey, false, 1.0f);
    }
}

void view3d::draw_brush_cursor() {
    window_link& link = owner_.link();
    if (!frame_shown() || owner_.playing() || !(link.view.hit || link.view.stroke_steps >= 1))
        return;
    const key_state keys = held_keys(owner_);
    const brush& tool = owner_.tool();
    const brush_kind type = tool.type();
    const bool shift_mode =
        keys.at("shift") && (type == brush_kind::scale || type == brush_kind::normal);
    const float r = camera_snapshot().brush_distance * tool.space();
    float alpha = 0.2f;
    if (keys.at("ctrl"))
        alpha = 0.3f;
    else if (shift_mode)
        alpha = 0.25f;
    const vec3 at = link.view.pick_point();
    gl::sphere(at, r, vec3(1, 1, 1), alpha, sphere_list_);
    gl::sphere(at, r * tool.power() * 0.9f, vec3(0, 0, 0), 0.15f, sphere_list_);
    const float sign = type == brush_kind::normal && keys.at("shift") ? -1.0f : 1.0f;
    gl::line(at, at + tool.vector() * (r * sign), vec3(0, 0, 0), true, 4.0f);
    if (owner_.held_buttons().mirror) {
        // The mirror brush's image across x = 0, fainter than the brush itself.
        const vec3 image(-at[0], at[1], at[2]);
        vec3 v = tool.vector() * (r * sign);
        v[0] = -v[0];
        gl::sphere(image, r, vec3(1, 1, 1), alpha * 0.5f, sphere_list_);
        gl::line(image, image + v, vec3(0, 0, 0), true, 2.0f);
    }
}

}  // namespace kavrin
