#include "core/emitter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <mutex>

#include <QThread>

#include "core/strict.h"
#include "dynamics/deform.h"
#include "dynamics/frame_step.h"
#include "dynamics/grid_fields.h"

namespace kavrin {

namespace {

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

int worker_count(const frame_set& fs) {
    if (!fs.owner || !fs.owner->window) return 1;
    return std::max(1, fs.owner->window->cpu_count.load());
}

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
    wait_for_jobs(this);
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
    return strict_at(frames, number);
}
const frame_set& emitter::frame(int number) const {
    return strict_at(frames, number);
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
        for (int k = 0; k < 100; ++k)
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
    const job_args args{keys};
    run_jobs(job_receiver(), false, int(created.size()), 1, this, "emitter", "build particle",
             &args);
}

void emitter::build_particle(const std::vector<int>& keys, int index) {
    if (closing_) return;
    build_frame(frame(strict_index(keys, index)), keys, index);
}

void emitter::mark_for_save() {
    for (const auto& [number, path] : window->cache_files)
        frame(number).pending_save = true;
    idle_ticks = idle_threshold.load();
    frames_to_save = int(window->cache_files.size());
}

bool emitter::has_pending_work() const {
    for (const auto& [number, fs] : frames)
        if (has_any_work(fs, false)) return true;
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
        run_jobs(job_receiver(), false, 1, 1, this, "emitter", "eat queue", nullptr);
    ++idle_ticks;
    if (!trim_running) check_memory();
}

bool emitter::quiet() const {
    return idle_ticks >= idle_threshold && !window->view.hit && !window->view.drag_active &&
           !undoing && window->on_eat != 1 && !near_running && !closing_;
}

bool emitter::ready_to_eat() {
    const bool ready = quiet() && !eat_interrupted;
    if (!ready) eat_interrupted = true;
    return ready;
}

bool emitter::must_stop() const {
    return idle_ticks < idle_threshold || window->view.hit || window->view.drag_active ||
           window->on_eat == 1 || undoing || near_running || eat_interrupted || closing_;
}

void emitter::eat_queue() {
    std::unique_lock<QMutex> hold(*emitter_lock, std::try_to_lock);
    if (!hold.owns_lock()) return;
    on_exit fresh_run{[this] { eat_interrupted = false; }};
    const int threads = std::max(1, window->cpu_count.load());
    run_jobs(job_receiver(), true, threads, threads, this, "emitter", "clear queue", nullptr);
    release_free_memory();
}

void emitter::clear_queue() {
    std::vector<int> candidates;
    for (;;) {
        candidates.clear();
        for (auto& [number, fs] : frames) {
            std::unique_lock<QMutex> hold(*fs.eat_lock, std::try_to_lock);
            if (hold.owns_lock() && has_any_work(fs)) candidates.push_back(number);
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
                finished = process(fs);
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

void emitter::current_particle() {
    on_exit release{[this] {
        ++window->view.stroke_steps;
        window->view.busy = false;
    }};
    const brush_values brush = window->brush();
    const camera_values camera = window->camera();

    stroke s;
    s.depth = undo_depth;
    s.amount = brush.power;
    s.reach = camera.focal_mag;
    s.mode = brush.type;
    s.vector = brush.vector;
    if (!keys_copied_.exchange(true)) key_copy = window->keys();
    s.keys = key_copy;

    frame_set& fs = frame(window->current_frame);
    // A background worker may still be finishing this frame when the stroke begins: the frame's
    // eat lock keeps the two apart.
    QMutexLocker eating(fs.eat_lock.get());
    const vec3 pick = window->view.pick_point();
    select_particles(fs, s, pick, camera.brush_distance * brush.space, brush.select_curve);
    if (s.particles.empty()) return;

    vec3 mean;
    for (const particle* p : s.particles)
        mean += p->position;
    mean /= float(s.particles.size());
    const vec3 eye = camera.scene_view ? camera.scene_eye : camera.position;
    s.centre = eye + normalise(pick - eye) * length(mean - eye);

    select(&s.particles);
    apply_live_stroke(fs, s);
}

near_list_t emitter::near_list(bool strict) const {
    near_list_t list;
    const brush_values brush = window->brush();
    const int current = window->current_frame;
    const bool stepping = window->stepping;
    const int n = int(std::floor(brush.time + 0.5f));
    for (int sign : {-1, 1}) {
        const bool whole_side = sign < 0 ? window->side_left.load() : window->side_right.load();
        const int count = whole_side ? ((sign < 0 ? first_frame : last_frame) - current) * sign : n;
        for (int k = 0; k < count; ++k) {
            const int f = current + (k + 1) * sign;
            auto it = frames.find(f);
            if (!stepping || it == frames.end()) continue;
            if (strict && (it->second.pending_save || !it->second.initialised)) continue;
            float weight = 1.0f;
            if (!whole_side) {
                const double x = (std::abs(f - current) - 0.5) / n;
                weight = ease(brush.near_curve, 1.0 - x);
            }
            list.push_back({f, weight});
        }
    }
    std::stable_sort(list.begin(), list.end(), [current](const near_entry& a, const near_entry& b) {
        return std::abs(a.frame - current) < std::abs(b.frame - current);
    });
    return list;
}

void emitter::add_near() {
    // The next stroke takes a new key copy, whether or not this one drew anything.
    keys_copied_ = false;
    frame_set& fs = frame(window->current_frame);
    propagation_request request;
    {
        QMutexLocker hold(fs.history_lock.get());
        const int depth = undo_depth;
        if (std::none_of(fs.history.begin(), fs.history.end(),
                         [depth](const stroke& h) { return h.depth == depth; }))
            return;
        request.painted = fs.history.back();
    }
    field_passes(fs, false);
    select(nullptr);
    fs.touched = true;
    ++undo_depth;

    near_list_t near = near_list(true);
    if (near.empty()) return;
    window->panel_busy = true;

    request.source = fs.particles;
    request.near = std::move(near);

    QMutexLocker hold(&near_queue_lock);
    for (const near_entry& e : request.near)
        frame(e.frame).near_marked = true;
    near_queue.push_back(std::move(request));
    if (!near_running.exchange(true))
        run_jobs(job_receiver(), false, 1, 1, this, "emitter", "add near", nullptr);
}

namespace {

// Fills a propagated copy for its target frame: the target's particles that the stroke recorded,
// and per particle the value the painted frame reached.
void transfer(stroke& s, frame_set& target, const particle_map& source) {
    // The history entry lists the painted frame's particles; the copy deforms only the target's.
    s.particles.clear();
    const bool ctrl = s.keys.at("ctrl");
    const bool remove = s.mode == QLatin1String("remove");
    const bool scale = s.mode == QLatin1String("scale");
    for (const auto& [id, before] : s.recorded) {
        auto it = target.particles.find(id);
        if (it == target.particles.end()) continue;
        s.particles.push_back(&it->second);
        const particle& painted = strict_at(source, id);
        stroke_value value;
        if (remove)
            value = painted.weight;
        else if (scale)
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

void emitter::undo() {
    if (undo_depth < 1 || near_running) return;
    undoing = true;
    idle_ticks = 0;
    {
        QMutexLocker hold(emitter_lock.get());
        on_exit done{[this] { undoing = false; }};
        const int depth = --undo_depth;

        frame_set& current = frame(window->current_frame);
        bool revert = false;
        {
            QMutexLocker history(current.history_lock.get());
            // Only a stroke of the undone generation is taken back here; an older newest entry
            // belongs to a stroke that stays.
            revert = !current.history.empty() && current.history.back().depth >= depth;
        }
        if (revert) {
            replay_undo(current);
            step(current, false, true);
        }

        auto mark = [depth](std::deque<stroke>& strokes) {
            for (auto it = strokes.rbegin(); it != strokes.rend() && it->depth >= depth; ++it)
                it->undone = true;
        };
        for (auto& [number, fs] : frames) {
            {
                QMutexLocker queue(fs.near_lock.get());
                mark(fs.near_queue);
            }
            QMutexLocker history(fs.history_lock.get());
            mark(fs.history);
        }
    }
    window->log("undo");
}

void emitter::check_memory() {
    std::vector<int> depths, numbers;
    for (auto& [number, fs] : frames) {
        std::unique_lock<QMutex> hold(*fs.history_lock, std::try_to_lock);
        if (!hold.owns_lock() || fs.history.empty()) continue;
        numbers.push_back(number);
        depths.push_back(fs.history.front().depth);
    }
    if (numbers.empty()) return;
    const int oldest = *std::min_element(depths.begin(), depths.end());
    const double gib = window->available_memory() / (1024.0 * 1024.0 * 1024.0);
    const bool low = gib < 1.0;
    // With enough memory, only an interrupted trim for lack of memory is carried on.
    if (!low && !(trim_low_memory && trim_bound >= oldest)) return;

    trim_running = true;
    const job_args args{oldest, low, depths, numbers};
    run_jobs(job_receiver(), false, 1, 1, this, "emitter", "remove undo", &args);
}

void emitter::remove_undo(const job_args& args) {
    on_exit done{[this] { trim_running = false; }};
    const int depth = boost::any_cast<int>(strict_index(args, 0));
    const bool low = boost::any_cast<bool>(strict_index(args, 1));
    const auto& depths = boost::any_cast<const std::vector<int>&>(strict_index(args, 2));
    const auto& numbers = boost::any_cast<const std::vector<int>&>(strict_index(args, 3));
    for (size_t i = 0; i < numbers.size() && i < depths.size(); ++i) {
        if (window->view.drag_active) break;  // the user is drawing: carry on at a later tick
        if (depths[i] != depth) continue;
        frame_set& fs = frame(numbers[i]);
        QMutexLocker hold(fs.history_lock.get());
        if (!fs.history.empty()) fs.history.pop_front();
    }
    trim_bound = depth;
    trim_low_memory = low;
}

}  // namespace kavrin
