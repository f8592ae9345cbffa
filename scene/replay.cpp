#include "scene/replay.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <QThread>

#include "scene/set_values.h"
#include "base/parallel.h"

namespace kavrin {

namespace {

void check_jobs(const replay_host& host) {
    if (!host.first_failure) return;
    if (const std::optional<job_failure> failure = host.first_failure())
        throw replay_error(failure->log_line().toStdString());
}

void require_frame(const emitter& e, int frame) {
    if (!e.frames.count(frame))
        throw replay_error("frame " + std::to_string(frame) + " is not in the scene");
}

void replay_stroke(emitter& e, const replay_host& h, const log_event& event,
                   const step_preparer& prepare) {
    require_frame(e, event.frame);
    window_link& w = h.window;
    // The left button is held for the whole stroke, as in the viewport.
    w.view.drag_active = true;
    struct release {
        window_link& w;
        ~release() { w.view.drag_active = false; }
    } released{w};
    size_t sent = 0;
    step_inputs last;  // the last step sent, whose brush the release reads
    try {
        for (size_t i = 0; i < event.steps.size(); ++i) {
            step_inputs s = event.steps[i];
            if (prepare) prepare(s, i);
            last = s;
            // The step takes its recorded inputs; the window's current frame follows it, as the
            // background's order and the history read that.
            w.current_frame = s.frame;
            if (!e.send_stroke_step(s))
                throw replay_error("step " + std::to_string(sent + 1) + ": frame " +
                                   std::to_string(s.frame) +
                                   " or a frame the stroke reaches cannot take the stroke");
            ++sent;
            while (w.view.busy)
                QThread::yieldCurrentThread();
            check_jobs(h);
        }
    } catch (...) {
        // What was painted is ended as a release would end it, so that the scene stays whole.
        if (sent > 0) e.add_near({false, last.side_left, last.side_right, false});
        throw;
    }
    if (!event.end) return;
    // The release reads the brush of the last step, with the end's time, near curve and side
    // buttons.
    brush_values b = last.brush;
    b.time = event.end->time;
    b.near_curve = event.end->near_curve;
    h.set_inputs(b, event.steps.empty() ? camera_values() : event.steps.back().camera);
    const int depth = e.history().undo_depth();
    e.add_near({false, event.end->side_left, event.end->side_right, false});
    const bool drew = e.history().undo_depth() > depth;
    if (event.drew_known && drew != event.end->drew)
        throw replay_error(drew ? "the stroke drew where the recorded one did not"
                                : "the stroke drew nothing where the recorded one did");
}

// Undo or redo, as the window's keys call them on the current frame.
void replay_history(emitter& e, window_link& w, const log_event& event) {
    w.current_frame = event.frame;
    const bool undo = event.kind == event_kind::undo;
    const int depth = e.history().undo_depth();
    undo ? e.undo() : e.redo();
    if (e.history().undo_depth() != depth + (undo ? -1 : 1))
        throw replay_error(std::string(undo ? "undo" : "redo") + " was refused at undo depth " +
                           std::to_string(depth));
}

// Esc during the stroke that the events before left open.
void replay_cancel(emitter& e, window_link& w, const log_event& event) {
    require_frame(e, event.frame);
    w.current_frame = event.frame;
    w.view.drag_active = true;
    e.cancel_stroke();
    w.view.drag_active = false;
}

void replay_set(emitter& e, const log_event& event) {
    if (const QString problem = set_values_problem(e, event); !problem.isEmpty())
        throw replay_error(problem.toStdString());
    apply_set_values(e, event);
}

void replay_trim(emitter& e, const log_event& event) {
    require_frame(e, event.frame);
    const scene_frame& fs = e.frame(event.frame);
    auto kept = [&fs] { return fs.read_history().entries().size(); };
    const size_t before = kept();
    // The trim job itself, on this frame alone.
    e.history().remove_undo(event.depth, {event.depth}, {event.frame});
    if (kept() == before) {
        std::string held;
        {
            const history_hold history = fs.read_history();
            for (const stroke& s : history.entries())
                held += " " + std::to_string(s.depth) + (s.undone ? " (undone)" : "");
        }
        throw replay_error("frame " + std::to_string(event.frame) +
                           " holds no undo entry of depth " + std::to_string(event.depth) +
                           " to trim (its entries:" + (held.empty() ? " none" : held) +
                           "; undo depth " + std::to_string(e.history().undo_depth()) + ")");
    }
}

// The frames a stroke's end carries it to, as near_list counts them, with its painted frame.
std::pair<long long, long long> reach(const log_event& stroke, long long lowest,
                                      long long highest) {
    long long below = 0, above = 0;
    if (stroke.end) {
        // Clamped before the conversion: a log may hold any time, a scene no more frames than
        // these.
        const double n = std::floor(std::clamp(double(stroke.end->time) + 0.5, 0.0, 1e12));
        below = stroke.end->side_left ? stroke.frame - lowest : (long long)n;
        above = stroke.end->side_right ? highest - stroke.frame : (long long)n;
    }
    return {stroke.frame - below, stroke.frame + above};
}

replay_host headless_host(headless_link& window) {
    return {window,
            [&window](const brush_values& b, const camera_values& c) {
                window.brush_state = b;
                window.camera_state = c;
            },
            [&window] { return window.first_failure(); }};
}

}  // namespace

void settle(emitter& e, headless_link& window, const std::function<void()>& between) {
    settle(e, headless_host(window), between);
}

void replay(emitter& e, headless_link& window, const log_event& event) {
    replay(e, headless_host(window), event);
}

void settle(emitter& e, const replay_host& host, const std::function<void()>& between) {
    for (;;) {
        check_jobs(host);
        if (!e.busy()) break;
        e.tick();
        if (between) between();
        QThread::msleep(1);
    }
    // Settled means no work is left, yet a task that found none may still be winding down.
    e.jobs.wait();
}

void replay(emitter& e, headless_link& window, const log_event& event,
            const step_preparer& prepare) {
    const replay_host host = headless_host(window);
    if (event.kind != event_kind::stroke) return replay(e, host, event);
    replay_stroke(e, host, event, prepare);
    settle(e, host);
}

void replay(emitter& e, const replay_host& host, const log_event& event) {
    switch (event.kind) {
        case event_kind::stroke:
            replay_stroke(e, host, event, nullptr);
            break;
        case event_kind::undo:
        case event_kind::redo:
            require_frame(e, event.frame);
            replay_history(e, host.window, event);
            break;
        case event_kind::cancel:
            replay_cancel(e, host.window, event);
            break;
        case event_kind::trim:
            replay_trim(e, event);
            break;
        case event_kind::set:
            replay_set(e, event);
            break;
    }
    settle(e, host);
}

}  // namespace kavrin

namespace kavrin {

partial_replay plan_partial_replay(const std::vector<log_event>& events,
                                   const std::vector<int>& scene_frames, int first, int last) {
    partial_replay plan;
    plan.held.assign(events.size(), false);
    if (scene_frames.empty()) return plan;
    const std::set<int> scene(scene_frames.begin(), scene_frames.end());
    const long long lowest = *scene.begin(), highest = *scene.rbegin();
    for (int f : scene)
        if (f >= first && f <= last) plan.frames.insert(f);
    auto meets = [&plan](long long from, long long to) {
        const auto it = plan.frames.lower_bound(
            int(std::max<long long>(from, std::numeric_limits<int>::min())));
        return it != plan.frames.end() && *it <= to;
    };
    // Backwards through the log, `plan.frames` holds the frames whose state after the event
    // matters: the range at the end, and the painted frame of every stroke held later on (its
    // particles are what that stroke carries). A stroke that reaches none of them is not held.
    std::vector<size_t> cancels;
    for (size_t i = events.size(); i-- > 0;) {
        const log_event& event = events[i];
        if (!scene.count(event.frame)) {
            plan.held[i] = true;
        } else if (event.kind == event_kind::stroke) {
            // Whether a stroke drew decides the undo generations: unknown, it must be seen.
            const auto [from, to] = reach(event, lowest, highest);
            plan.held[i] = !event.drew_known || meets(from, to);
        } else if (event.kind == event_kind::cancel) {
            cancels.push_back(i);
        } else {
            plan.held[i] = plan.frames.count(event.frame) > 0;
        }
        if (plan.held[i]) plan.frames.insert(event.frame);
    }
    // A cancel ends the stroke before it on its frame: the two are held together, so that the
    // scene never keeps a stroke open that the log closed.
    for (size_t i : cancels)
        for (size_t k = i; k-- > 0;)
            if (events[k].kind == event_kind::stroke && events[k].frame == events[i].frame &&
                !events[k].end) {
                plan.held[i] = plan.held[k];
                break;
            }
    return plan;
}

void replay_elsewhere(emitter& e, headless_link& window, const log_event& event) {
    switch (event.kind) {
        case event_kind::undo:
        case event_kind::redo:
            replay_history(e, window, event);
            break;
        case event_kind::stroke:
            e.recorder.append(event);
            if (event.end && event.end->drew) e.history().open_generation();
            break;
        case event_kind::set:
            e.recorder.append(event);
            e.history().open_generation();  // the generation it opened
            break;
        case event_kind::cancel:
        case event_kind::trim:
            e.recorder.append(event);
            break;
    }
    settle(e, window);
}

}  // namespace kavrin

namespace kavrin {

source_fingerprint source_of(const emitter& e) {
    source_fingerprint source;
    for (const auto& [number, fs] : e.frames) {
        if (fs.source_records < 0) return {};
        source.push_back({number, fs.source_records, fs.source_ids});
    }
    return source;
}

QString source_difference(const source_fingerprint& recorded, const emitter& e,
                          const std::vector<int>& all_frames) {
    auto span = [](const std::vector<int>& frames) {
        return frames.empty() ? QString("none")
                              : QString("%1 frames, %2-%3")
                                    .arg(frames.size())
                                    .arg(frames.front())
                                    .arg(frames.back());
    };
    std::vector<int> there;
    for (const source_frame& f : recorded)
        there.push_back(f.frame);
    if (there != all_frames)
        return "the log was recorded on " + span(there) + ", this cache holds " + span(all_frames);
    for (const source_frame& f : recorded) {
        const auto held = e.frames.find(f.frame);
        if (held == e.frames.end()) continue;
        const frame_set& fs = held->second;
        if (fs.source_records != f.particles)
            return QString("frame %1 held %2 particles where the log was recorded, %3 here")
                .arg(f.frame)
                .arg(f.particles)
                .arg(fs.source_records);
        if (fs.source_ids != f.ids)
            return QString("frame %1 holds other particle ids than where the log was recorded")
                .arg(f.frame);
    }
    return QString();
}

}  // namespace kavrin
