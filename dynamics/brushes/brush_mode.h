#pragma once
// What a brush kind does to one particle. A stroke looks its mode up once (brush_mode_of) and
// calls it for each particle it brushes.

#include "base/brush_kind.h"
#include "base/particle.h"
#include "dynamics/stroke.h"

namespace kavrin {

class brush_mode {
  public:
    virtual ~brush_mode() = default;
    // One step of the stroke being painted; the particle's falloff is s.falloff[p.id].
    virtual void paint(particle& p, const stroke& s) const = 0;
    // Whether the stroke can no longer change p (at rest with "ctrl", at nothing with "shift").
    virtual bool at_limit(const particle& p, const stroke& s) const = 0;
    // The share of a painted change that a stroke carried to another frame gives p: the painted
    // particle went from s.recorded to s.targets, this one goes s.weight of that way.
    virtual void carry(particle& p, const stroke& s) const = 0;
};

const brush_mode& brush_mode_of(brush_kind kind);

// The modes, one per source file.
const brush_mode& normal_brush();
const brush_mode& grab_brush();
const brush_mode& converge_brush();
const brush_mode& remove_brush();
const brush_mode& scale_brush();

}  // namespace kavrin
