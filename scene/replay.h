#pragma once
// Replaying a stroke log on a scene without a window, through the entry points the window uses:
// for each step of a stroke the window values it recorded and one "current particle" job sent
// as the viewport sends it, then add_near (or the cancel that Esc sends); undo and redo as the
// window's keys call them; trims as the trim job does; set events as a script gave them.
// After every event the background work runs until the scene has settled, so that the result
// does not depend on how the window's background work happened to interleave with the user.

#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <vector>

#include "scene/emitter.h"
#include "scene/headless_link.h"
#include "scene/stroke_log.h"

namespace kavrin {

// The scene did not take an event as the recording says it did, or a job failed.
class replay_error : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The window a replay drives: the link that e reads, how a step's brush and camera values reach
// it, and the first failed job it saw (none when first_failure is empty or gives none).
struct replay_host {
    window_link& window;
    std::function<void(const brush_values&, const camera_values&)> set_inputs;
    std::function<std::optional<job_failure>()> first_failure;
};

// Ticks e as the frame timer would until every frame is built and settled and no propagation,
// trim, save or stroke step is left; between() runs after each tick. Throws replay_error when a
// job fails meanwhile. Every background task of e has ended when it returns.
void settle(emitter& e, headless_link& window, const std::function<void()>& between = {});
void settle(emitter& e, const replay_host& host, const std::function<void()>& between = {});

// Replays one event on e (whose window is `window`) and settles. Throws replay_error.
void replay(emitter& e, headless_link& window, const log_event& event);
void replay(emitter& e, const replay_host& host, const log_event& event);

// Fills in a stroke step's inputs just before it is sent, as the viewport refreshes the brush on
// the mouse move that sends it: the step (a copy of the event's) and its index in the stroke.
// An exception it throws ends the stroke as a failed step does.
using step_preparer = std::function<void(step_inputs& step, size_t index)>;
void replay(emitter& e, headless_link& window, const log_event& event,
            const step_preparer& prepare);

// What a scene needs of a log to end, on frames first to last, as the whole scene would. Frames
// change only through the strokes that reach them, and a stroke's effect depends only on the
// frames it reaches and on the particles of its painted frame as the stroke is made. So a stroke
// is `held` (replayed in full) when it reaches a frame that matters after it: one of the range,
// or the painted frame of a stroke held later on; the scene holds those frames. The others
// change the held frames only through the undo generations they open and end, which
// replay_elsewhere keeps. Events on frames the scene lacks count as held, so that replaying them
// fails as it would on the whole scene.
struct partial_replay {
    std::set<int> frames;
    std::vector<bool> held;  // one per event
};
partial_replay plan_partial_replay(const std::vector<log_event>& events,
                                   const std::vector<int>& scene_frames, int first, int last);

// The cache e was read from, frame by frame; empty when a frame of it was not read from a file
// (a generated scene).
source_fingerprint source_of(const emitter& e);
// How the cache a log was recorded on differs from e's, read from a folder of frames all_frames
// (e may hold some of them only: their counts and ids are compared, the frame numbers of all);
// empty when nothing that can be seen differs.
QString source_difference(const source_fingerprint& recorded, const emitter& e,
                          const std::vector<int>& all_frames);

// An event of a partial replay whose frame e does not hold: recorded as given, the undo
// generation a drawn stroke opens, and undo and redo as they act on every frame e holds. Settles.
void replay_elsewhere(emitter& e, headless_link& window, const log_event& event);

}  // namespace kavrin
