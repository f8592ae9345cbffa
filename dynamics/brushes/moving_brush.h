#pragma once
// The brushes that move particles (normal, grab, converge) share everything but the direction
// and length of a step.

#include "dynamics/brushes/brush_mode.h"

namespace kavrin {

class moving_brush : public brush_mode {
  public:
    void paint(particle& p, const stroke& s) const override;
    bool at_limit(const particle& p, const stroke& s) const override;
    void carry(particle& p, const stroke& s) const override;

  protected:
    // The unit direction p moves along in a step, with its sign.
    virtual vec3 direction(const particle& p, const stroke& s) const = 0;
    virtual float sign(const stroke& s) const = 0;
    // The share of reach × power that one step moves a particle.
    virtual float step_length() const = 0;
};

}  // namespace kavrin
