#include "dynamics/deform.h"

#include <algorithm>
#include <array>
#include <deque>
#include <mutex>
#include <unordered_set>

#include <QEasingCurve>

#include "dynamics/frame_set.h"
#include "base/parallel.h"
#include "base/strict.h"
#include "dynamics/brushes/brush_mode.h"
#include "dynamics/frame_step.h"
#include "dynamics/level_index.h"

namespace kavrin {

namespace {

constexpr int curve_types = QEasingCurve::NCurveTypes;
// A leaf's particles lie around its centroid, not at it: leaves whose centroid is up to this
// many leaf half-sizes beyond the brush may still hold particles inside it.
constexpr float leaf_reach = 1.2f;

}  // namespace

float ease_thousandths(int curve_type, long long thousandths) {
    // Progress counts in whole thousandths, so each curve is a table of 1001 values.
    static std::array<std::array<float, 1001>, curve_types> tables;
    static std::array<std::once_flag, curve_types> made;
    if (curve_type < 0 || curve_type >= curve_types) curve_type = QEasingCurve::Linear;
    std::call_once(made[size_t(curve_type)], [curve_type] {
        const QEasingCurve curve(static_cast<QEasingCurve::Type>(curve_type));
        for (int i = 0; i <= 1000; ++i)
            tables[size_t(curve_type)][size_t(i)] = float(curve.valueForProgress(i / 1000.0));
    });
    thousandths = std::clamp(thousandths, 0LL, 1000LL);
    return tables[size_t(curve_type)][size_t(thousandths)];
}

float ease(int curve_type, double progress) {
    return ease_thousandths(curve_type, static_cast<long long>(progress * 1000.0));
}

void select_particles(frame_set& fs, stroke& s, const vec3& centre, float radius, int curve_type,
                      bool hard) {
    std::vector<oct_tree*> cells;
    find_cells(fs, centre, radius + fs.tree.leaf_half() * leaf_reach, fs.tree.depth() - 1, cells);
    // Leaves whose centroids share a position key are all found as the first of them: brush
    // each cell once, or its particles would be moved twice (by two threads) in one step.
    std::unordered_set<const oct_tree*> seen;
    cells.erase(std::remove_if(cells.begin(), cells.end(),
                               [&seen](const oct_tree* c) { return !seen.insert(c).second; }),
                cells.end());
    const brush_mode& mode = brush_mode_of(s.mode);
    for (oct_tree* cell : cells)
        for (const auto& [id, p] : cell->members) {
            const float d = length(p->position - centre);
            if (d > radius || mode.at_limit(*p, s)) continue;
            const float w = hard ? 1.0f : ease(curve_type, 1.0 - double(d / radius));
            s.falloff.try_emplace(id, w);
            s.particles.push_back(p);
        }
}

void deform(particle& p, const stroke& s) {
    const brush_mode& mode = brush_mode_of(s.mode);
    if (s.restore) {
        s.assign(p, strict_at(s.recorded, p.id, "the stroke's recorded values"));
        p.moved = p.changed = true;
    } else if (s.targeted) {
        if (mode.at_limit(p, s)) {
            p.moved = p.changed = false;
        } else {
            mode.carry(p, s);
            p.moved = p.changed = true;
        }
    } else {
        mode.paint(p, s);
        p.moved = p.changed = true;
    }
}

bool at_limit(const particle& p, const stroke& s) {
    return brush_mode_of(s.mode).at_limit(p, s);
}

void apply_stroke(frame_set& fs, stroke& s) {
    if (s.targeted) {
        for (particle* p : s.particles)
            deform(*p, s);
    } else {
        parallel_for(frame_job(fs, "deform particle"), int(s.particles.size()), worker_count(fs),
                     [&s](const share& items) {
                         for (int i : items)
                             deform(*s.particles[size_t(i)], s);
                     });
    }
    // The next step re-homes those the deformation marked moved.
    fs.list_deformed(s.particles);
    fs.settled = false;
}

}  // namespace kavrin
