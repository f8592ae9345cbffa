#include "dynamics/brushes/brush_mode.h"

namespace kavrin {

const brush_mode& brush_mode_of(brush_kind kind) {
    switch (kind) {
        case brush_kind::normal: return normal_brush();
        case brush_kind::grab: return grab_brush();
        case brush_kind::converge: return converge_brush();
        case brush_kind::remove: return remove_brush();
        case brush_kind::scale: return scale_brush();
    }
    return grab_brush();
}

}  // namespace kavrin
