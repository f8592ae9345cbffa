#pragma once
// Replaying a stroke log on a scene without a window, through the entry points the window uses:
// for each step of a stroke the window values it recorded and one "current particle" job sent
// as the viewport sends it, then add_near (or the cancel that Esc sends); undo and redo as the
// window's keys call them; trims as the trim job does.
// After every event the background work runs until the scene has settled, so that the result
// does not depend on how the window's background work happened to interleave with the user.

#include <functional>
#include <stdexcept>

#include "core/emitter.h"
#include "core/headless_link.h"
#include "core/stroke_log.h"

namespace kavrin {

// The scene did not take an event as the recording says it did, or a job failed.
class replay_error : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Ticks e as the frame timer would until every frame is built and settled and no propagation,
// trim, save or stroke step is left; between() runs after each tick. Throws replay_error when a
// job fails meanwhile. Finished worker threads are deleted before it returns, so call it on the
// thread that dispatched e's unwaited jobs, under a QCoreApplication.
void settle(emitter& e, headless_link& window, const std::function<void()>& between = {});

// Replays one event on e (whose window is `window`) and settles. Throws replay_error.
void replay(emitter& e, headless_link& window, const log_event& event);

}  // namespace kavrin
