#include "scene/emitter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <mutex>

#include <QThread>

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

// Runs a cleanup when the scope ends, however it ends: flags that gate the GUI must never stay
// set because a job failed.
template <class F>
struct on_exit {
    F f;
    ~on_exit() { f(); }
};
template <class F>
on_exit(F) -> on_exit<F>;

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
    : emitter_lock(std::make_shared<QMutex>()),
      from_cache(from_cache_),
      frame_lock(std::make_shared<QMutex>()),
      window(window_) {
    key_copy = window->keys();
}

emitter::~emitter() {
    // Every worker checks closing at its next stop test; wait until all have ended.
    closing_ = true;
    jobs.wait();
    for (auto& [number, fs] : frames)
        if (fs.display_list != 0) window->release_display_list(fs.display_list);
    frames.clear();
    release_free_memory();
}

frame_set& emitter::add_frame(int number) {
    return frames
        .emplace(std::piecewise_construct, std::forward_as_tuple(number),
                 std::forward_as_tuple(number, this))
        .first->second;
}

frame_set& emitter::frame(int number) {
    return strict_at(frames, number, "the scene's frames");
}
const frame_set& emitter::frame(int number) const {
    return strict_at(frames, number, "the scene's frames");
}

int emitter::worker_threads() const {
    return window->cpu_count.load();
}

void emitter::first_stepped(frame_set&) {
    --frames_to_build;
}

failure_listener* emitter::job_failures() const {
    return window;
}

void emitter::raise_max_scale(float extent) {
    float seen = max_scale.load();
    while (extent > seen)
        if (max_scale.compare_exchange_weak(seen, extent)) {
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

    idle_ticks = idle_threshold.load();
    frames_to_build = int(created.size());
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
        frame(number).pending_save = true;
    idle_ticks = idle_threshold.load();
    frames_to_save = int(window->cache_files.size());
}

bool emitter::has_pending_work() const {
    for (const auto& [number, fs] : frames)
        if (has_any_work(*this, fs, false)) return true;
    return false;
}

void emitter::tick() {
    if (frames_to_build == 0) {
        frames_to_build = -1;
        for (auto& [number, fs] : frames)
            fs.touched = true;
        window->log("point count / " + QString::number(point_count));
        const double ms =
            window->scene_clock.isValid() ? double(window->scene_clock.elapsed()) : 0.0;
        window->log("cache time / sec / " + QString::number(ms / 1000.0, 'g', 6));
    }
    const bool pending = has_pending_work();
    if (frames_to_build == -1 && frames_to_save == 0 && !pending && emitter_lock->tryLock()) {
        window->panel_busy = false;
        emitter_lock->unlock();
    }
    if (quiet() && pending)
        post(job("eat queue"), jobs, [this] { eat_queue(); });
    ++idle_ticks;
    if (!trim_running) check_memory();
}

// Moving the pointer over the viewport holds background work back (it resets idle_ticks); where
// the pointer rests does not, or a scene build or a save would wait on the mouse.
bool emitter::quiet() const {
    return idle_ticks >= idle_threshold && !window->view.drag_active && !undoing &&
           window->on_eat != 1 && !near_running && !closing_;
}

bool emitter::ready_to_eat() {
    const bool ready = quiet() && !eat_interrupted;
    if (!ready) eat_interrupted = true;
    return ready;
}

bool emitter::must_stop() const {
    return idle_ticks < idle_threshold || window->view.drag_active || window->on_eat == 1 ||
           undoing || near_running || eat_interrupted || closing_;
}

void emitter::eat_queue() {
    std::unique_lock<QMutex> hold(*emitter_lock, std::try_to_lock);
    if (!hold.owns_lock()) return;
    on_exit fresh_run{[this] { eat_interrupted = false; }};
    const int threads = std::max(1, window->cpu_count.load());
    parallel_for(job("clear queue"), threads, threads, [this](const share&) { clear_queue(); });
    release_free_memory();
}

void emitter::clear_queue() {
    std::vector<int> candidates;
    for (;;) {
        candidates.clear();
        for (auto& [number, fs] : frames) {
            std::unique_lock<QMutex> hold(*fs.eat_lock, std::try_to_lock);
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
                frame_set& fs = frame(number);
                std::unique_lock<QMutex> hold(*fs.eat_lock, std::try_to_lock);
                if (!hold.owns_lock()) continue;
                taken = true;
                finished = process(*this, fs);
                window->redraw_needed = true;
                break;
            }
            if (!taken || finished) continue;
        }
        if (frames_to_build < 1) return;
        // Frames are still being built and their work will appear; give the builder the core.
        QThread::yieldCurrentThread();
    }
}

// ---- Strokes ----

void emitter::select(const std::vector<particle*>* list) {
    if (!list) {
        for (particle* p : selection)
            p->selected = false;
        selection.clear();
        return;
    }
    for (particle* p : *list)
        if (!p->selected) {
            p->selected = true;
            selection.push_back(p);
        }
}

bool emitter::can_paint() const {
    const int current = window->current_frame;
    const int pinned = stroke_frame_;
    if (pinned >= 0 && pinned != current) return false;
    auto it = frames.find(current);
    if (it == frames.end() || !ready_to_paint(it->second)) return false;
    // Every frame the stroke will reach must be able to take it.
    return near_list(true, current).size() == near_list(false, current).size();
}

bool emitter::send_stroke_step() {
    if (window->view.busy || !can_paint()) return false;
    window->view.busy = true;
    post(job("current particle"), jobs, [this] { current_particle(); });
    return true;
}

void emitter::current_particle() {
    on_exit release{[this] {
        ++window->view.stroke_steps;
        window->view.busy = false;
    }};
    const brush_values brush = window->brush();
    const camera_values camera = window->camera();

    // The first step of a stroke fixes its keys, its frame and the mirror for all later steps.
    if (!keys_copied_.exchange(true)) {
        key_copy = window->keys();
        stroke_frame_ = window->current_frame.load();
        mirror_copy_ = window->mirror.load();
    }
    stroke s;
    s.depth = undo_depth;
    s.amount = brush.power;
    s.reach = camera.focal_mag;
    s.mode = brush.type;
    s.vector = brush.vector;
    s.keys = key_copy;

    frame_set& fs = frame(stroke_frame_);
    // A background worker may still be finishing this frame when the stroke begins: the frame's
    // eat lock keeps the two apart.
    QMutexLocker eating(fs.eat_lock.get());
    // What an undo left for the background on this frame is taken back first: the stroke starts
    // from the frame the undo promised.
    settle_undone(fs);
    // Whether the viewport may redraw only the brushed particles after this step.
    const bool brushed_only = !fs.touched || fs.brushed_only;
    const vec3 pick = window->view.pick_point();
    const float radius = camera.brush_distance * brush.space;
    const bool hard = window->brush_hard;
    // The mirror brush: the same stroke mirrored across x = 0. Each particle is brushed by the
    // nearer of the two brushes (by the first one on the plane itself), so a symmetric cloud
    // stays symmetric.
    const bool mirror = mirror_copy_;
    recorder.step({stroke_frame_, brush, camera, s.keys, pick, hard, window->side_left,
                   window->side_right, mirror});
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
    apply_live_stroke(fs, s, undo_depth, mirror ? &m : nullptr);
    fs.brushed_only = brushed_only;
    stroke_drew_ = true;
}

near_list_t emitter::near_list(bool strict, int current) const {
    near_list_t list;
    const brush_values brush = window->brush();
    const bool stepping = window->stepping;
    const long long n = static_cast<long long>(std::floor(brush.time + 0.5f));
    if (frames.empty()) return list;
    // Beyond the scene's first or last frame nothing more can be reached.
    const long long lowest = frames.begin()->first, highest = frames.rbegin()->first;
    for (int sign : {-1, 1}) {
        const bool whole_side = sign < 0 ? window->side_left.load() : window->side_right.load();
        const long long count =
            whole_side ? ((sign < 0 ? first_frame : last_frame) - current) * sign : n;
        for (long long k = 0; k < count; ++k) {
            const long long f = current + (k + 1) * sign;
            if (f < lowest || f > highest) break;
            auto it = frames.find(int(f));
            // An empty cache frame has nothing to take a stroke (and is never stepped).
            if (!stepping || it == frames.end() || it->second.empty) continue;
            if (strict && (it->second.pending_save || !it->second.initialised)) continue;
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

void emitter::add_near() {
    recorder.end_stroke(*window, stroke_drew_);
    // The next stroke takes new keys and a new frame, whether or not this one drew anything.
    keys_copied_ = false;
    const int painted = stroke_frame_.exchange(-1);
    if (!stroke_drew_.exchange(false) || painted < 0) return;
    frame_set& fs = frame(painted);
    propagation_request request;
    {
        QMutexLocker hold(fs.history_lock.get());
        if (!holds_painted_entry(fs, undo_depth)) return;
        request.painted = fs.history.back();
    }
    field_passes(fs, false);
    select(nullptr);
    fs.touched = true;
    clear_redo();
    ++undo_depth;

    near_list_t near = near_list(true, painted);
    if (near.empty()) return;
    window->panel_busy = true;

    // The propagation reads the painted values of the particles the stroke recorded, and of no
    // other: only those are copied, not the whole frame.
    request.source.reserve(request.painted.recorded.size());
    for (const auto& [id, before] : request.painted.recorded) {
        auto it = fs.particles.find(id);
        if (it != fs.particles.end()) request.source.emplace(id, it->second);
    }
    request.near = std::move(near);

    QMutexLocker hold(&near_queue_lock);
    for (const near_entry& e : request.near)
        frame(e.frame).near_marked = true;
    near_queue.push_back(std::move(request));
    const bool start = !near_running.exchange(true);
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
    if (stroke_drew_.exchange(false) && painted >= 0) {
        undoing = true;  // the background stays away from the frame meanwhile
        QMutexLocker hold(emitter_lock.get());
        on_exit done{[this] { undoing = false; }};
        frame_set& fs = frame(painted);
        // Every change of a frame's particles holds its eat lock, as the window's drawing and
        // the trim job expect.
        QMutexLocker eating(fs.eat_lock.get());
        bool own = false;
        {
            QMutexLocker history(fs.history_lock.get());
            own = holds_painted_entry(fs, undo_depth);
        }
        if (own) {
            replay_undo(fs);
            step(fs, false, true);
        }
        select(nullptr);
    }
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
                QMutexLocker hold(&near_queue_lock);
                if (near_queue.empty()) {
                    // Done in the same hold as add_near's append, so no request is stranded.
                    for (auto& [number, fs] : frames)
                        fs.near_marked = false;
                    near_running = false;
                    return;
                }
                request = &near_queue.front();  // add_near only appends: the front stays put
            }
            stroke base = request->painted;
            base.targeted = true;
            for (const near_entry& e : request->near) {
                frame_set& target = frame(e.frame);
                stroke copy = base;
                copy.weight = e.weight;
                transfer(copy, target, request->source);
                if (copy.particles.empty()) continue;
                QMutexLocker hold(target.near_lock.get());
                target.near_queue.push_back(std::move(copy));
            }
            QMutexLocker hold(&near_queue_lock);
            near_queue.pop_front();
        }
    } catch (...) {
        // A failed request must not leave undo and background work blocked for good.
        QMutexLocker hold(&near_queue_lock);
        near_queue.clear();
        for (auto& [number, fs] : frames)
            fs.near_marked = false;
        near_running = false;
        throw;
    }
}

// ---- Undo ----

namespace {

// Visits each frame's queued strokes, then its history with its redo data, each under its lock.
template <class Queued, class Kept>
void visit_strokes(std::map<int, frame_set>& frames, Queued queued, Kept kept) {
    for (auto& [number, fs] : frames) {
        {
            QMutexLocker queue(fs.near_lock.get());
            queued(fs.near_queue);
        }
        QMutexLocker history(fs.history_lock.get());
        kept(fs.history, fs.redo);
    }
}

}  // namespace

void emitter::change_history(const char* line, const std::function<void()>& change) {
    // Refused while a stroke is painted or propagated, or while a cache is written (its files
    // would hold the change on some frames and not on others).
    if (near_running || window->view.drag_active || window->view.busy || frames_to_save > 0) return;
    undoing = true;
    idle_ticks = 0;
    {
        QMutexLocker hold(emitter_lock.get());
        on_exit done{[this] { undoing = false; }};
        {
            // The depth change, its log line and its marks are one step to a trim.
            QMutexLocker ordered(&generation_lock);
            change();
        }
        // The current frame catches up at once, the others in the background. A scene opened
        // for some frames only may not hold the frame the change was made on.
        if (const auto held = frames.find(window->current_frame); held != frames.end()) {
            QMutexLocker eating(held->second.eat_lock.get());
            while (next_change(held->second, false, false)) {
            }
        }
    }
    window->log(line);
}

void emitter::undo() {
    if (undo_depth < 1) return;
    change_history("undo", [this] {
        const int depth = --undo_depth;
        ++redo_depth;
        recorder.undo(window->current_frame);
        // Every stroke of the undone generation is marked, queued or applied, and a redo of it
        // that has not been carried out yet is called off.
        auto mark = [depth](std::deque<stroke>& strokes) {
            for (auto it = strokes.rbegin(); it != strokes.rend() && it->depth >= depth; ++it)
                if (!it->undone) it->undone = it->redoable = true;
        };
        visit_strokes(frames, mark, [&](std::deque<stroke>& history, std::deque<redo_entry>& redo) {
            mark(history);
            for (redo_entry& r : redo)
                if (r.entry.depth >= depth) r.due = false;
        });
    });
}

void emitter::redo() {
    if (redo_depth < 1) return;
    change_history("redo", [this] {
        const int depth = undo_depth++;  // the most recently undone generation
        --redo_depth;
        recorder.redo(window->current_frame);
        // Where the undo has not been carried out yet, calling it off is the whole redo; where
        // it has, the frame's worker brings the stroke back.
        auto call_off = [depth](std::deque<stroke>& strokes) {
            for (stroke& s : strokes)
                if (s.depth == depth && s.redoable) s.undone = s.redoable = false;
        };
        visit_strokes(frames, call_off,
                      [&](std::deque<stroke>& history, std::deque<redo_entry>& redo) {
                          call_off(history);
                          for (redo_entry& r : redo)
                              if (r.entry.depth == depth) r.due = true;
                      });
    });
}

void emitter::count_stroke_elsewhere() {
    clear_redo();
    ++undo_depth;
}

void emitter::clear_redo() {
    redo_depth = 0;
    visit_strokes(
        frames,
        [](std::deque<stroke>& queued) {
            // Only undone strokes: the front one that a worker may be applying is never undone.
            for (stroke& s : queued)
                if (s.undone) s.redoable = false;
        },
        [](std::deque<stroke>& history, std::deque<redo_entry>& redo) {
            // A redo already asked for is the frame's pending work, not something redo could
            // still bring back: dropping it would lose the stroke wherever the background had
            // not yet carried it out.
            redo.erase(std::remove_if(redo.begin(), redo.end(),
                                      [](const redo_entry& r) { return !r.due; }),
                       redo.end());
            for (auto it = history.rbegin(); it != history.rend() && it->undone; ++it)
                it->redoable = false;
        });
}

void emitter::trim_redo() {
    const int count = redo_depth;
    const int first_undone = undo_depth + count - 1;
    // Every frame or none: a generation that cannot be redone everywhere cannot be redone.
    std::vector<std::unique_lock<QMutex>> held;
    for (auto& [number, fs] : frames)
        for (QMutex* lock : {fs.history_lock.get(), fs.near_lock.get()}) {
            held.emplace_back(*lock, std::try_to_lock);
            if (!held.back().owns_lock()) return;
        }
    for (auto& [number, fs] : frames) {
        fs.redo.erase(
            std::remove_if(fs.redo.begin(), fs.redo.end(),
                           [&](const redo_entry& r) { return r.entry.depth == first_undone; }),
            fs.redo.end());
        for (std::deque<stroke>* strokes : {&fs.history, &fs.near_queue})
            for (stroke& s : *strokes)
                if (s.undone && s.depth == first_undone) s.redoable = false;
    }
    --redo_depth;
    window->log("redo trim / " + QString::number(redo_depth));
}

namespace {

// The entry a trim may drop: the oldest of the history, unless an undo is still to revert it
// (undone entries stay for the queue eater) or it is the stroke being painted.
const stroke* trimmable(const frame_set& fs, int undo_depth) {
    if (fs.history.empty()) return nullptr;
    const stroke& oldest = fs.history.front();
    return oldest.undone || oldest.depth >= undo_depth ? nullptr : &oldest;
}

}  // namespace

void emitter::check_memory() {
    const bool low = window->available_memory() < low_memory_bytes;
    // Redo data goes first, one generation a tick, the first undone first (a busy frame: the
    // next tick tries again).
    if (low && redo_depth > 0) {
        trim_redo();
        return;
    }

    std::vector<int> depths, numbers;
    for (auto& [number, fs] : frames) {
        std::unique_lock<QMutex> hold(*fs.history_lock, std::try_to_lock);
        // A frame whose history is in use may hold the oldest generation: try again next tick
        // rather than trim a newer one.
        if (!hold.owns_lock()) return;
        if (const stroke* oldest = trimmable(fs, undo_depth)) {
            numbers.push_back(number);
            depths.push_back(oldest->depth);
        }
    }
    if (numbers.empty()) return;
    const int oldest = *std::min_element(depths.begin(), depths.end());
    // With enough memory, only an unfinished trim for lack of memory is carried on.
    if (!low && !(trim_low_memory && trim_bound >= oldest)) return;

    trim_running = true;
    post(job("remove undo"), jobs,
         [this, oldest, depths = std::move(depths), numbers = std::move(numbers)] {
             remove_undo(oldest, depths, numbers);
         });
}

void emitter::remove_undo(int depth, const std::vector<int>& depths,
                          const std::vector<int>& numbers) {
    on_exit done{[this] { trim_running = false; }};
    bool finished = true;
    for (size_t i = 0; i < numbers.size() && i < depths.size(); ++i) {
        if (window->view.drag_active) {  // the user is drawing: carry on at a later tick
            finished = false;
            break;
        }
        if (depths[i] != depth) continue;
        frame_set& fs = frame(numbers[i]);
        // An undo or redo changes the depth that decides what may go, logs itself and marks its
        // strokes in one step: the trim of a frame comes wholly before or after it.
        QMutexLocker ordered(&generation_lock);
        // A frame that a worker is processing is left for the next run.
        std::unique_lock<QMutex> eating(*fs.eat_lock, std::try_to_lock);
        if (!eating.owns_lock()) {
            finished = false;
            continue;
        }
        QMutexLocker hold(fs.history_lock.get());
        // The history may have changed since the check: drop only what the check saw.
        const stroke* oldest = trimmable(fs, undo_depth);
        if (!oldest || oldest->depth != depth) continue;
        recorder.trim(fs.frame, oldest->depth);
        window->undo_trimmed(fs.frame, *oldest);
        fs.history.pop_front();
    }
    // Every run trims for lack of memory, now or carried on from a tick that lacked it; only an
    // unfinished one is carried on once memory is back.
    trim_bound = depth;
    trim_low_memory = !finished;
}

}  // namespace kavrin
