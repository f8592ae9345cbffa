#include "core/stroke.h"

namespace kavrin {

stroke_value stroke::value_of(const particle& p) const {
    if (mode == QLatin1String("remove")) return p.weight;
    if (mode == QLatin1String("scale")) return p.scale;
    return p.position;
}

void stroke::assign(particle& p, const stroke_value& v) const {
    if (mode == QLatin1String("remove"))
        p.weight = value_as<float>(v);
    else if (mode == QLatin1String("scale"))
        p.scale = value_as<float>(v);
    else
        p.position = value_as<vec3>(v);
}

void stroke::record(const std::vector<particle*>& list, bool fresh) {
    // A fresh record starts from an emptied map; either way the first value of an id stays.
    (void)fresh;
    recorded.reserve(recorded.size() + list.size());
    for (const particle* p : list)
        recorded.try_emplace(p->id, value_of(*p));
}

}  // namespace kavrin
