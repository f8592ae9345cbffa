#include "scene/emitter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <mutex>
#include <optional>

#include <QThread>

#include "base/scope_exit.h"
#include "base/strict.h"
#include "dynamics/deform.h"
#include "dynamics/frame_step.h"
#include "scene/frame_schedule.h"
#include "scene/history.h"
#include "dynamics/grid_fields.h"

namespace kavrin {

namespace {

// The mirror image across the plane x = 0.
vec3 mirrored(const vec3& v) {
    return vec3(-v[0], v[1], v[2]);
}

// Hands the free memory of every thread's heap back to the system. Work on a scene leaves large
// freed blocks behind (a stroke's propagation copies the painted frame's particles; a deleted
// scene frees them all), which would otherwise stay resident in heaps that later work may not
// reuse. Called when a run of background work ends and when a scene is deleted.
void release_free_memory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

}  // namespace

emitter::emitter(bool from_cache_, window_link* window_)
    : from_cache(from_cache_),
      window(window_),
      history_(*this) {
    key_copy_ = window->keys();
}

emitter::~emitter() {
    // Every worker checks closing at its next stop test; wait until all have ended.
    closing_ = true;
    jobs.wait();
    window->scene_closing();
    frames.clear();
    release_free_memory();
}

scene_frame& emitter::add_frame(int number) {
    return frames
        .emplace(std::piecewise_construct, std::forward_as_tuple(number),
                 std::forward_as_tuple(number, this))
        .first->second;
}

scene_frame& emitter::frame(int number) {
    return strict_at(frames, number, "the scene's frames");
}
const scene_frame& emitter::frame(int number) const {
    return strict_at(frames, number, "the scene's frames");
}

int emitter::worker_threads() const {
    return window->cpu_count.load();
}

void emitter::first_stepped(frame_set&) {
    --frames_to_build_;
}

failure_listener* emitter::job_failures() const {
    return window;
}

void emitter::raise_max_scale(float extent) {
    float seen = max_scale_.load();
    while (extent > seen)
        if (max_scale_.compare_exchange_weak(seen, extent)) {
            for (auto& [number, fs] : frames)
                fs.touched = true;
            return;
        }
}

// ---- Frame building and background work ----

void emitter::build() {
    std::vector<int> created;
    auto create = [&](int k) {
        add_frame(k);
        created.push_back(k);
    };
    if (from_cache)
        for (const auto& [number, path] : window->cache_files)
            create(number);
    else
        for (int k = 0; k < generated_frames; ++k)
            create(k);

    idle_ticks_ = idle_threshold_.load();
    frames_to_build_ = int(created.size());
    std::sort(created.begin(), created.end());
    if (!created.empty()) {
        first_frame = created.front();
        last_frame = created.back();
    }
    if (from_cache) return;

    std::vector<int> keys;
    for (const auto& [number, fs] : frames)
        keys.push_back(number);
    post(job("build particle"), jobs, [this, keys = std::move(keys), count = created.size()] {
        for (size_t i = 0; i < count; ++i)
            build_particle(keys, int(i));
    });
}

void emitter::build_particle(const std::vector<int>& keys, int index) {
    if (closing_) return;
    build_frame(*this, frame(strict_index(keys, index)), keys, index);
}

void emitter::mark_for_save() {
    for (const auto& [number, path] : window->cache_files)
        frame(number).set_pending_save(true);
    idle_ticks_ = idle_threshold_.load();
    frames_marked_for_save_ = int(window->cache_files.size());
    frames_to_save_ = frames_marked_for_save_.load();
}

void emitter::count_filled(int particles) {
    point_count_ += particles;
    if (particles == 0) --frames_to_build_;
}

void emitter::hold_background(const std::function<void()>& change) {
    undoing_ = true;
    mutex_hold hold(emitter_lock_);
    on_exit done{[this] { undoing_ = false; }};
    change();
}

bool emitter::has_pending_work() const {
    for (const auto& [number, fs] : frames)
        if (has_any_work(*this, fs, false)) return true;
    return false;
}

void emitter::tick() {
    if (frames_to_build_ == 0) {
        frames_to_build_ = -1;
        for (auto& [number, fs] : frames)
            fs.touched = true;
        window->log("point count / " + QString::number(point_count_.load()));
        const double ms =
            window->scene_clock.isValid() ? double(window->scene_clock.elapsed()) : 0.0;
        window->log("cache time / sec / " + QString::number(ms / 1000.0, 'g', 6));
    }
    const bool pending = has_pending_work();
    if (frames_to_build_ == -1 && frames_to_save_ == 0 && !pending && emitter_lock_.try_lock()) {
        window->work_ended();
        emitter_lock_.unlock();
    }
    if (quiet() && pending)
        post(job("eat queue"), jobs, [this] { eat_queue(); });
    ++idle_ticks_;
    history_.check_memory();
}

bool emitter::spreading() const {
    if (near_running_) return true;
    mutex_hold hold(near_queue_lock_);
    return !near_queue_.empty();
}

bool emitter::busy() const {
    if (!built() || spreading() || history_.trimming() || undoing_ || saving() ||
        window->view.busy || has_pending_work())
        return true;
    // A running "eat queue" holds the lock.
    if (!emitter_lock_.try_lock()) return true;
    emitter_lock_.unlock();
    return false;
}

namespace {

// The frames' history work that waits for the background: an undo to revert, a redo to carry
// out. A frame whose history is in use is passed over.
struct history_work {
    bool undo = false, redo = false;
};
history_work pending_history(const std::map<int, scene_frame>& frames) {
    history_work w;
    for (const auto& [number, fs] : frames) {
        w.undo = w.undo || fs.undo_due(busy_lock::counts_none);
        w.redo = w.redo || fs.redo_due(busy_lock::counts_none);
    }
    return w;
}

// Whether a propagated stroke still waits in some frame's queue.
bool queued_strokes(const std::map<int, scene_frame>& frames) {
    for (const auto& [number, fs] : frames)
        if (fs.stroke_queued(busy_lock::counts_none)) return true;
    return false;
}

}  // namespace

scene_progress emitter::progress() const {
    using activity = scene_progress::activity;
    scene_progress p;
    const int to_build = frames_to_build_, to_save = frames_to_save_;
    if (to_build >= 0) {
        // Counts down as frames are first stepped; 0 until the tick that reports the build.
        p.what = activity::building;
        p.total = int(frames.size());
        p.done = p.total - to_build;
    } else if (to_save > 0) {
        p.what = activity::saving;
        p.total = frames_marked_for_save_;
        p.done = p.total - to_save;
    } else if (near_running_ || queued_strokes(frames)) {
        p.what = activity::spreading_stroke;
    } else if (const history_work w = pending_history(frames); w.undo || w.redo) {
        p.what = w.undo ? activity::reverting_undo : activity::redoing;
    }
    return p;
}

// Moving the pointer over the viewport holds background work back (note_user_activity); where
// the pointer rests does not, or a scene build or a save would wait on the mouse.
bool emitter::quiet() const {
    return idle_ticks_ >= idle_threshold_ && !window->view.drag_active && !undoing_ &&
           window->on_eat != 1 && !near_running_ && !closing_;
}

bool emitter::ready_to_eat() {
    const bool ready = quiet() && !eat_interrupted_;
    if (!ready) eat_interrupted_ = true;
    return ready;
}

bool emitter::must_stop() const {
    return idle_ticks_ < idle_threshold_ || window->view.drag_active || window->on_eat == 1 ||
           undoing_ || near_running_ || eat_interrupted_ || closing_;
}

void emitter::eat_queue() {
    if (!emitter_lock_.try_lock()) return;
    mutex_hold hold(emitter_lock_, std::adopt_lock);
    on_exit fresh_run{[this] { eat_interrupted_ = false; }};
    const int threads = std::max(1, window->cpu_count.load());
    parallel_for(job("clear queue"), threads, threads, [this](const share&) { clear_queue(); });
    release_free_memory();
}

void emitter::clear_queue() {
    std::vector<int> candidates;
    for (;;) {
        candidates.clear();
        for (auto& [number, fs] : frames) {
            const std::unique_lock<mutex> hold = fs.hold_particles(std::try_to_lock);
            if (hold.owns_lock() && has_any_work(*this, fs)) candidates.push_back(number);
        }
        if (!ready_to_eat()) return;

        bool finished = false;
        if (!candidates.empty()) {
            // Nearest frames first, so the neighbourhood of the current frame is ready soonest.
            const int current = window->current_frame;
            std::stable_sort(candidates.begin(), candidates.end(), [current](int a, int b) {
                return std::abs(a - current) < std::abs(b - current);
            });
            bool taken = false;
            for (int number : candidates) {
                scene_frame& fs = frame(number);
                const std::unique_lock<mutex> hold = fs.hold_particles(std::try_to_lock);
                if (!hold.owns_lock()) continue;
                taken = true;
                finished = process(*this, fs);
                window->frame_changed();
                break;
            }
            if (!taken || finished) continue;
        }
        if (frames_to_build_ < 1) return;
        // Frames are still being built and their work will appear; give the builder the core.
        QThread::yieldCurrentThread();
    }
}

// ---- Strokes ----

void emitter::select(const std::vector<particle*>* list) {
    if (!list) {
        for (particle* p : selection_)
            p->selected = false;
        selection_.clear();
        return;
    }
    for (particle* p : *list)
        if (!p->selected) {
            p->selected = true;
            selection_.push_back(p);
        }
}

bool emitter::can_paint(const stroke_buttons& buttons) const {
    return can_paint(live_step_inputs(buttons));
}

bool emitter::can_paint(const step_inputs& in) const {
    const int pinned = stroke_frame_;
    if (pinned >= 0 && pinned != in.frame) return false;
    auto it = frames.find(in.frame);
    if (it == frames.end() || !ready_to_paint(it->second)) return false;
    // Every frame the stroke will reach must be able to take it.
    return near_list(true, in.frame, in.brush, in.side_left, in.side_right).size() ==
           near_list(false, in.frame, in.brush, in.side_left, in.side_right).size();
}

step_inputs emitter::live_step_inputs(const stroke_buttons& buttons) const {
    step_inputs in;
    in.frame = window->current_frame;
    in.brush = window->brush();
    in.camera = window->camera();
    in.keys = window->keys();
    in.pick = window->view.pick_point();
    in.hard = buttons.hard;
    in.side_left = buttons.side_left;
    in.side_right = buttons.side_right;
    in.mirror = buttons.mirror;
    return in;
}

bool emitter::send_stroke_step(const stroke_buttons& buttons) {
    return send_stroke_step(live_step_inputs(buttons));
}

bool emitter::send_stroke_step(const step_inputs& in) {
    if (window->view.busy || !can_paint(in)) return false;
    window->view.busy = true;
    post(job("current particle"), jobs, [this, in] { current_particle(in); });
    return true;
}

void emitter::current_particle(const step_inputs& in) {
    on_exit release{[this] {
        ++window->view.stroke_steps;
        window->view.busy = false;
    }};
    const brush_values& brush = in.brush;
    const camera_values& camera = in.camera;

    // The first step of a stroke fixes its keys, its frame and the mirror for all later steps.
    if (!keys_copied_.exchange(true)) {
        key_copy_ = in.keys;
        stroke_frame_ = in.frame;
        mirror_copy_ = in.mirror;
    }
    stroke s;
    s.depth = history_.undo_depth();
    s.amount = brush.power;
    s.reach = camera.focal_mag;
    s.mode = brush.type;
    s.vector = brush.vector;
    s.keys = key_copy_;

    scene_frame& fs = frame(stroke_frame_);
    // A background worker may still be finishing this frame when the stroke begins: the frame's
    // eat lock keeps the two apart.
    const std::unique_lock<mutex> eating = fs.hold_particles();
    // What an undo left for the background on this frame is taken back first: the stroke starts
    // from the frame the undo promised.
    settle_undone(fs);
    // Whether the viewport may redraw only the brushed particles after this step.
    const bool brushed_only = !fs.touched || fs.brushed_only;
    const vec3 pick = in.pick;
    const float radius = camera.brush_distance * brush.space;
    const bool hard = in.hard;
    // The mirror brush: the same stroke mirrored across x = 0. Each particle is brushed by the
    // nearer of the two brushes (by the first one on the plane itself), so a symmetric cloud
    // stays symmetric.
    const bool mirror = mirror_copy_;
    recorder.step({stroke_frame_, brush, camera, s.keys, pick, hard, in.side_left, in.side_right,
                   mirror});
    stroke m = s;
    m.vector = mirrored(s.vector);
    select_particles(fs, s, pick, radius, brush.select_curve, hard);
    if (mirror) {
        select_particles(fs, m, mirrored(pick), radius, brush.select_curve, hard);
        auto side = [](float x) { return (x > 0.0f) - (x < 0.0f); };
        const int pick_side = side(pick[0]);
        // On the far side of the plane from the pick point, where the mirrored brush is nearer.
        auto far_side = [&](const particle* p) {
            return pick_side != 0 && side(p->position[0]) == -pick_side;
        };
        auto& primary = s.particles;
        auto& image = m.particles;
        primary.erase(std::remove_if(primary.begin(), primary.end(), far_side), primary.end());
        image.erase(std::remove_if(image.begin(), image.end(),
                                   [&](const particle* p) { return !far_side(p); }),
                    image.end());
    }
    if (s.particles.empty() && m.particles.empty()) return;

    // Summed in id order: the cells' member order depends on how workers filled them, and the
    // centre must not, or a replayed stroke would differ in its last bits. Mirrored particles
    // count from the first brush's side.
    std::vector<std::pair<int32_t, vec3>> brushed;
    brushed.reserve(s.particles.size() + m.particles.size());
    for (const particle* p : s.particles)
        brushed.emplace_back(p->id, p->position);
    for (const particle* p : m.particles)
        brushed.emplace_back(p->id, mirrored(p->position));
    std::sort(brushed.begin(), brushed.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    vec3 mean;
    for (const auto& [id, position] : brushed)
        mean += position;
    mean /= float(brushed.size());
    const vec3 eye = camera.scene_view ? camera.scene_eye : camera.position;
    s.centre = eye + normalise(pick - eye) * length(mean - eye);
    m.centre = mirrored(s.centre);

    select(&s.particles);
    select(&m.particles);
    apply_live_stroke(fs, s, history_.undo_depth(), mirror ? &m : nullptr);
    fs.brushed_only = brushed_only;
    stroke_drew_ = true;
}

near_list_t emitter::near_list(bool strict, int current, const stroke_buttons& buttons) const {
    return near_list(strict, current, window->brush(), buttons.side_left, buttons.side_right);
}

near_list_t emitter::near_list(bool strict, int current, const brush_values& brush,
                               bool side_left, bool side_right) const {
    near_list_t list;
    const bool stepping = window->stepping;
    const long long n = static_cast<long long>(std::floor(brush.time + 0.5f));
    if (frames.empty()) return list;
    // Beyond the scene's first or last frame nothing more can be reached.
    const long long lowest = frames.begin()->first, highest = frames.rbegin()->first;
    for (int sign : {-1, 1}) {
        const bool whole_side = sign < 0 ? side_left : side_right;
        const long long count =
            whole_side ? ((sign < 0 ? first_frame : last_frame) - current) * sign : n;
        for (long long k = 0; k < count; ++k) {
            const long long f = current + (k + 1) * sign;
            if (f < lowest || f > highest) break;
            auto it = frames.find(int(f));
            // An empty cache frame has nothing to take a stroke (and is never stepped).
            if (!stepping || it == frames.end() || it->second.empty) continue;
            if (strict && (it->second.pending_save() || !it->second.initialised)) continue;
            float weight = 1.0f;
            if (!whole_side) {
                // Progress 1 - (d - 0.5) / n = (2n - 2d + 1) / 2n, truncated to whole thousandths
                // in integers, so that exact thousandths stay exact.
                const long long d = std::abs(f - current);
                weight = ease_thousandths(brush.near_curve, 1000 * (2 * n - 2 * d + 1) / (2 * n));
            }
            list.push_back({int(f), weight});
        }
    }
    std::stable_sort(list.begin(), list.end(), [current](const near_entry& a, const near_entry& b) {
        return std::abs(a.frame - current) < std::abs(b.frame - current);
    });
    return list;
}

void emitter::add_near(const stroke_buttons& buttons) {
    const brush_values b = window->brush();
    recorder.end_stroke(
        {stroke_drew_, b.time, b.near_curve, buttons.side_left, buttons.side_right});
    // The next stroke takes new keys and a new frame, whether or not this one drew anything.
    keys_copied_ = false;
    const int painted = stroke_frame_.exchange(-1);
    if (!stroke_drew_.exchange(false) || painted < 0) return;
    scene_frame& fs = frame(painted);
    propagation_request request;
    if (std::optional<stroke> painted_entry = fs.painted_entry(history_.undo_depth()))
        request.painted = std::move(*painted_entry);
    else
        return;
    field_passes(fs, false);
    select(nullptr);
    fs.touched = true;
    history_.open_generation();

    near_list_t near = near_list(true, painted, b, buttons.side_left, buttons.side_right);
    if (near.empty()) return;
    window->work_started();

    // The propagation reads the painted values of the particles the stroke recorded, and of no
    // other: only those are copied, not the whole frame.
    request.source.reserve(request.painted.recorded.size());
    for (const auto& [id, before] : request.painted.recorded) {
        auto it = fs.particles.find(id);
        if (it != fs.particles.end()) request.source.emplace(id, it->second);
    }
    request.near = std::move(near);

    mutex_hold hold(near_queue_lock_);
    for (const near_entry& e : request.near)
        frame(e.frame).mark_near(true);
    near_queue_.push_back(std::move(request));
    const bool start = !near_running_.exchange(true);
    // Posted without the lock, which the worker takes: a pool without threads runs it here.
    hold.unlock();
    if (start) post(job("add near"), jobs, [this] { near_worker(); });
}

void emitter::cancel_stroke() {
    // The worker clears busy however its job ends, so this wait is short.
    while (window->view.busy)
        QThread::yieldCurrentThread();
    keys_copied_ = false;
    const int painted = stroke_frame_.exchange(-1);
    if (painted >= 0) recorder.cancel(painted);
    if (stroke_drew_.exchange(false) && painted >= 0)
        hold_background([&] {
            scene_frame& fs = frame(painted);
            // Every change of a frame's particles holds its eat lock, as the window's drawing
            // and the trim job expect.
            const std::unique_lock<mutex> eating = fs.hold_particles();
            if (fs.holds_painted_entry(history_.undo_depth())) {
                replay_undo(fs);
                step(fs, false, true);
            }
            select(nullptr);
        });
    window->log("stroke cancel");
}

namespace {

// Fills a propagated copy for its target frame: the target's particles that the stroke recorded,
// and per particle the value the painted frame reached.
void transfer(stroke& s, frame_set& target, const particle_map& source) {
    // The history entry lists the painted frame's particles; the copy deforms only the target's.
    s.particles.clear();
    const bool ctrl = s.keys.at("ctrl");
    const brush_channel channel = channel_of(s.mode);
    for (const auto& [id, before] : s.recorded) {
        auto it = target.particles.find(id);
        if (it == target.particles.end()) continue;
        s.particles.push_back(&it->second);
        const particle& painted = strict_at(source, id, "the painted frame's particles");
        stroke_value value;
        if (channel == brush_channel::weight)
            value = painted.weight;
        else if (channel == brush_channel::scale)
            value = ctrl ? stroke_value(std::array<float, 2>{painted.scale, painted.rest_scale})
                         : stroke_value(painted.scale);
        else
            value = ctrl
                        ? stroke_value(std::array<vec3, 2>{painted.position, painted.rest_position})
                        : stroke_value(painted.position);
        s.targets.insert_or_assign(id, std::move(value));
    }
}

}  // namespace

void emitter::near_worker() {
    try {
        for (;;) {
            propagation_request* request = nullptr;
            {
                mutex_hold hold(near_queue_lock_);
                if (near_queue_.empty()) {
                    // Done in the same hold as add_near's append, so no request is stranded.
                    for (auto& [number, fs] : frames)
                        fs.mark_near(false);
                    near_running_ = false;
                    return;
                }
                request = &near_queue_.front();  // add_near only appends: the front stays put
            }
            stroke base = request->painted;
            base.targeted = true;
            for (const near_entry& e : request->near) {
                scene_frame& target = frame(e.frame);
                stroke copy = base;
                copy.weight = e.weight;
                transfer(copy, target, request->source);
                if (copy.particles.empty()) continue;
                target.queue_stroke(std::move(copy));
            }
            mutex_hold hold(near_queue_lock_);
            near_queue_.pop_front();
        }
    } catch (...) {
        // A failed request must not leave undo and background work blocked for good.
        mutex_hold hold(near_queue_lock_);
        near_queue_.clear();
        for (auto& [number, fs] : frames)
            fs.mark_near(false);
        near_running_ = false;
        throw;
    }
}

}  // namespace kavrin
