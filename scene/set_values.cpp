#include "scene/set_values.h"

#include <cmath>
#include <unordered_set>

#include "base/strict.h"
#include "dynamics/frame_step.h"

namespace kavrin {

QString set_values_problem(const emitter& e, const log_event& event) {
    const auto held = e.frames.find(event.frame);
    if (held == e.frames.end())
        return "frame " + QString::number(event.frame) + " is not in the scene";
    if (event.ids.empty()) return "no particle is given";
    const size_t width = size_t(set_channel_width(event.channel));
    if (event.values.size() != event.ids.size() * width)
        return QString("%1 values for %2 particles: %3 a particle are needed")
            .arg(event.values.size())
            .arg(event.ids.size())
            .arg(width);
    std::unordered_set<int32_t> seen;
    for (int32_t id : event.ids) {
        if (!held->second.particles.count(id))
            return QString("frame %1 holds no particle %2").arg(event.frame).arg(id);
        if (!seen.insert(id).second) return QString("particle %1 is given twice").arg(id);
    }
    for (size_t i = 0; i < event.values.size(); ++i) {
        const float v = event.values[i];
        if (!std::isfinite(v))
            return QString("the value for particle %1 is not finite").arg(event.ids[i / width]);
        if (event.channel == set_channel::scale && v < 0.0f)
            return QString("the scale for particle %1 is below 0").arg(event.ids[i]);
    }
    return QString();
}

void apply_set_values(emitter& e, const log_event& event) {
    scene_frame& fs = e.frame(event.frame);
    stroke entry;
    entry.depth = e.history().undo_depth();
    entry.mode = kind_changing(event.channel);
    entry.keys = key_state::released();
    // The background stays away from the frame meanwhile, as during an undo.
    e.hold_background([&] {
    // Every change of a frame's particles holds its eat lock, as the window's drawing expects.
    const std::unique_lock<mutex> eating = fs.hold_particles();
    std::vector<particle*> given;
    given.reserve(event.ids.size());
    for (int32_t id : event.ids)
        given.push_back(&strict_at(fs.particles, id, "the frame's particles"));
    entry.record(given, true);
    for (size_t i = 0; i < given.size(); ++i) {
        particle& p = *given[i];
        switch (event.channel) {
            case set_channel::position:
                p.position =
                    vec3(event.values[3 * i], event.values[3 * i + 1], event.values[3 * i + 2]);
                break;
            case set_channel::scale:
                p.scale = event.values[i];
                break;
            case set_channel::weight:
                p.weight = event.values[i];
                break;
        }
        fs.mark_moved(p);
    }
    fs.push_history(std::move(entry));
    fs.settled = false;
    step(fs, false, true);
    fs.brushed_only = false;
    fs.touched = true;
    // The generation bookkeeping of a stroke's end: redo ends, the undo depth grows.
    e.history().open_generation();
    e.recorder.append(event);
    });
}

}  // namespace kavrin
