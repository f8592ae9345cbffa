#pragma once
// Particle values given directly (by a script) to one frame: one edit with an undo generation of
// its own, undone, redone and trimmed as a stroke is, and recorded in the stroke log as a set
// event. Unlike a stroke it does not reach the neighbouring frames.

#include <QString>

#include "scene/emitter.h"
#include "scene/stroke_log.h"

namespace kavrin {

// Why the set event cannot be applied to e (a frame e lacks, an id the frame does not hold or
// one given twice, values that do not match the ids or cannot be held); empty when it can.
QString set_values_problem(const emitter& e, const log_event& event);

// Applies a set event that set_values_problem passes: the frame's history gets an entry holding
// each particle's value from before (its undo record), the particles get the new values, the
// frame is stepped, the edit's undo generation opens and e.recorder logs the event. On the thread
// that drives e, once it has settled (no stroke in progress, nothing queued or left to undo): the
// new entry must be the newest change of the frame's history.
void apply_set_values(emitter& e, const log_event& event);

}  // namespace kavrin
