#include "core/replay.h"

#include <mutex>

#include <QCoreApplication>
#include <QThread>

#include "core/threading.h"

namespace kavrin {

namespace {

void check_jobs(const headless_link& window) {
    const QString failure = window.job_failure();
    if (!failure.isEmpty()) throw replay_error(failure.toStdString());
}

// Nothing is left to do: the build reported, no work queued on any frame and no worker busy.
bool settled(emitter& e, const headless_link& window) {
    if (e.frames_to_build != -1 || e.near_running || e.trim_running || e.undoing ||
        e.frames_to_save > 0 || window.view.busy || e.has_pending_work())
        return false;
    // A running "eat queue" holds the lock.
    std::unique_lock<QMutex> eating(*e.emitter_lock, std::try_to_lock);
    return eating.owns_lock();
}

void require_frame(const emitter& e, int frame) {
    if (!e.frames.count(frame))
        throw replay_error("frame " + std::to_string(frame) + " is not in the scene");
}

void replay_stroke(emitter& e, headless_link& w, const log_event& event) {
    require_frame(e, event.frame);
    // The left button is held for the whole stroke, as in the viewport.
    w.view.drag_active = true;
    struct release {
        headless_link& w;
        ~release() { w.view.drag_active = false; }
    } released{w};
    size_t sent = 0;
    try {
        for (const step_inputs& s : event.steps) {
            w.current_frame = s.frame;
            w.brush_state = s.brush;
            w.camera_state = s.camera;
            {
                QMutexLocker hold(&w.key_lock);
                w.key_map = s.keys;
            }
            w.brush_hard = s.hard;
            w.side_left = s.side_left;
            w.side_right = s.side_right;
            w.mirror = s.mirror;
            w.view.set_pick_point(s.pick);
            if (!e.send_stroke_step())
                throw replay_error("step " + std::to_string(sent + 1) + ": frame " +
                                   std::to_string(s.frame) +
                                   " or a frame the stroke reaches cannot take the stroke");
            ++sent;
            while (w.view.busy) {
                QCoreApplication::sendPostedEvents();
                QThread::yieldCurrentThread();
            }
            check_jobs(w);
        }
    } catch (...) {
        // What was painted is ended as a release would end it, so that the scene stays whole.
        if (sent > 0) e.add_near();
        throw;
    }
    if (!event.end) return;
    w.brush_state.time = event.end->time;
    w.brush_state.near_curve = event.end->near_curve;
    w.side_left = event.end->side_left;
    w.side_right = event.end->side_right;
    const int depth = e.undo_depth;
    e.add_near();
    const bool drew = e.undo_depth > depth;
    if (event.drew_known && drew != event.end->drew)
        throw replay_error(drew ? "the stroke drew where the recorded one did not"
                                : "the stroke drew nothing where the recorded one did");
}

// Undo or redo, as the window's keys call them on the current frame.
void replay_history(emitter& e, headless_link& w, const log_event& event) {
    require_frame(e, event.frame);
    w.current_frame = event.frame;
    const bool undo = event.kind == event_kind::undo;
    const int depth = e.undo_depth;
    undo ? e.undo() : e.redo();
    if (e.undo_depth != depth + (undo ? -1 : 1))
        throw replay_error(std::string(undo ? "undo" : "redo") + " was refused at undo depth " +
                           std::to_string(depth));
}

// Esc during the stroke that the events before left open.
void replay_cancel(emitter& e, headless_link& w, const log_event& event) {
    require_frame(e, event.frame);
    w.current_frame = event.frame;
    w.view.drag_active = true;
    e.cancel_stroke();
    w.view.drag_active = false;
}

void replay_trim(emitter& e, const log_event& event) {
    require_frame(e, event.frame);
    frame_set& fs = e.frame(event.frame);
    auto kept = [&fs] {
        QMutexLocker hold(fs.history_lock.get());
        return fs.history.size();
    };
    const size_t before = kept();
    // The trim job itself, on this frame alone.
    e.remove_undo(
        job_args{event.depth, true, std::vector<int>{event.depth}, std::vector<int>{event.frame}});
    if (kept() == before) {
        std::string held;
        {
            QMutexLocker hold(fs.history_lock.get());
            for (const stroke& s : fs.history)
                held += " " + std::to_string(s.depth) + (s.undone ? " (undone)" : "");
        }
        throw replay_error("frame " + std::to_string(event.frame) +
                           " holds no undo entry of depth " + std::to_string(event.depth) +
                           " to trim (its entries:" + (held.empty() ? " none" : held) +
                           "; undo depth " + std::to_string(e.undo_depth) + ")");
    }
}

}  // namespace

void settle(emitter& e, headless_link& window, const std::function<void()>& between) {
    for (;;) {
        check_jobs(window);
        if (settled(e, window)) break;
        e.tick();
        // Finished worker threads are deleted by the receiver of their signal, on this thread.
        QCoreApplication::sendPostedEvents();
        if (between) between();
        QThread::msleep(1);
    }
    // Finished workers are deleted now rather than whenever events are next processed: a
    // headless driver may have no event loop at all.
    wait_for_jobs(&e);
    QCoreApplication::sendPostedEvents();
}

void replay(emitter& e, headless_link& window, const log_event& event) {
    switch (event.kind) {
        case event_kind::stroke:
            replay_stroke(e, window, event);
            break;
        case event_kind::undo:
        case event_kind::redo:
            replay_history(e, window, event);
            break;
        case event_kind::cancel:
            replay_cancel(e, window, event);
            break;
        case event_kind::trim:
            replay_trim(e, event);
            break;
    }
    settle(e, window);
}

}  // namespace kavrin
