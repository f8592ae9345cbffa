#include "dynamics/stroke.h"

namespace kavrin {

stroke_value stroke::value_of(const particle& p) const {
    switch (channel_of(mode)) {
        case brush_channel::weight: return p.weight;
        case brush_channel::scale: return p.scale;
        case brush_channel::position: break;
    }
    return p.position;
}

void stroke::assign(particle& p, const stroke_value& v) const {
    switch (channel_of(mode)) {
        case brush_channel::weight: p.weight = value_as<float>(v); break;
        case brush_channel::scale: p.scale = value_as<float>(v); break;
        case brush_channel::position: p.position = value_as<vec3>(v); break;
    }
}

void stroke::record(const std::vector<particle*>& list, bool fresh) {
    // A fresh record starts from an emptied map; either way the first value of an id stays.
    (void)fresh;
    recorded.reserve(recorded.size() + list.size());
    for (const particle* p : list)
        recorded.try_emplace(p->id, value_of(*p));
}

}  // namespace kavrin
