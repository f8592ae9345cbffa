#pragma once
// Finding where a stroke can run: the longest horizontal stretch of viewport pixels whose picks
// hit the current frame.

#include <QPointF>

#include "view/view3d.h"

namespace kavrin::test {

struct hit_run {
    int y = 0, x0 = 0, x1 = -1;
    int length() const { return x1 - x0; }
};

// Scans every step-th row and column; the run's ends are picks that hit.
inline hit_run longest_hit_run(view3d& view, int step = 2) {
    hit_run best;
    for (int y = 2 * step; y < view.height(); y += 2 * step) {
        int start = -1;
        for (int x = 0; x <= view.width(); x += step) {
            const bool hit = x < view.width() && view.pick(QPointF(x, y));
            if (hit && start < 0) start = x;
            if (!hit && start >= 0) {
                if (x - step - start > best.length()) best = {y, start, x - step};
                start = -1;
            }
        }
    }
    return best;
}

}  // namespace kavrin::test
