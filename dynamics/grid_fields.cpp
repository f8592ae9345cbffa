#include "dynamics/grid_fields.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <unordered_map>
#include <vector>

#include "dynamics/frame_set.h"
#include "base/parallel.h"
#include "base/strict.h"

namespace kavrin {

namespace {

cell_key offset_key(const cell_key& q, const vec3& o) {
    return make_key(key_coords(q) + o);
}

// Grid cell holding x.
cell_key cell_of(const frame_set& fs, const vec3& x) {
    return make_key(x / fs.grid.cell_size());
}

template <class Map>
void run_over_keys(frame_set& fs, const Map& map, bool sequential, const char* job,
                   void (*body)(frame_set&, const cell_key&),
                   void (*slice)(frame_set&, const std::vector<cell_key>&, const share&)) {
    std::vector<cell_key> keys;
    keys.reserve(map.size());
    for (const auto& entry : map)
        keys.push_back(entry.first);
    if (sequential) {
        for (const cell_key& k : keys)
            body(fs, k);
        return;
    }
    parallel_for(frame_job(fs, job), int(keys.size()), worker_count(fs),
                 [&](const share& s) { slice(fs, keys, s); });
}

// The grid entries of the 27 cells around a cell, in stencil order; null where a map has none.
struct neighbourhood {
    struct cell {
        const vec3* centre = nullptr;
        const vec3* normal = nullptr;
        const float* density = nullptr;
    };
    std::array<cell, 27> cells;
};

neighbourhood neighbourhood_of(const frame_set& fs, const cell_key& q) {
    neighbourhood n;
    const auto& offsets = stencil();
    for (size_t i = 0; i < offsets.size(); ++i) {
        const cell_key m = offset_key(q, offsets[i]);
        auto centre = fs.grid.centres().find(m);
        if (centre == fs.grid.centres().end()) continue;
        n.cells[i].centre = &centre->second;
        auto normal = fs.grid.normals().find(m);
        if (normal != fs.grid.normals().end()) n.cells[i].normal = &normal->second;
        auto density = fs.grid.densities().find(m);
        if (density != fs.grid.densities().end()) n.cells[i].density = &density->second;
    }
    return n;
}

// The grid blend at x from the cells around the cell that holds x.
void shade_from(const frame_set& fs, const neighbourhood& n, const vec3& x, vec3& normal_sum,
                float* shade_sum) {
    const double reach = std::sqrt(2.0) * double(fs.grid.cell_size());
    for (const neighbourhood::cell& c : n.cells) {
        if (!c.centre) continue;
        const double w = 1.0 - double(length(x - *c.centre)) / reach;
        if (w < 0.0) continue;
        if (c.normal) normal_sum += *c.normal * float(w);
        if (shade_sum && c.density) *shade_sum += float(w * double(*c.density));
    }
}

}  // namespace

void field_passes(frame_set& fs, bool sequential) {
    cell_grid& grid = fs.grid;
    const std::unique_lock<mutex> hold = grid.hold();
    grid.centres_.clear();
    grid.densities_.clear();
    grid.normals_.clear();
    grid.spreads_.clear();
    // With fewer than two particles log10 of the count gives no usable cell size (an infinite
    // or zero edge): the grid stays empty and shading finds no cells.
    if (fs.particles.size() < 2) {
        grid.cell_size_ = 0.0f;
        return;
    }
    grid.cell_size_ = (fs.tree.extent() / std::log10(float(fs.particles.size()))) * 0.5f;

    if (sequential) {
        for (const auto& [id, p] : fs.particles)
            shape_cell(fs, p);
    } else {
        // The particles of a stepped frame stay the same ones: their list is made once.
        std::vector<particle*>& list = grid.shape_list_;
        if (list.size() != fs.particles.size()) {
            list.clear();
            list.reserve(fs.particles.size());
            for (auto& [id, p] : fs.particles)
                list.push_back(&p);
        }
        parallel_for(frame_job(fs, "mid shape"), int(list.size()), worker_count(fs),
                     [&fs, &list](const share& s) { shape_slice(fs, list, s); });
    }
    run_over_keys(fs, grid.centres_, sequential, "mid density", density_cell, density_slice);
    const float stencil_size = float(stencil().size());
    for (auto& [key, density] : grid.densities_)
        density /= stencil_size;  // the counts become densities
    run_over_keys(fs, grid.densities_, sequential, "mid normal", normal_cell, normal_slice);
    for (const auto& part : grid.found_centres_)
        for (const auto& [key, centre] : part)
            grid.centres_.try_emplace(key, centre);
    grid.found_centres_.clear();
}

namespace {

using centre_map = cell_vectors;
using density_map = cell_values;
using spread_map = cell_spreads;

void shape_into(const frame_set& fs, const particle& p, centre_map& centres, spread_map& spreads) {
    if (!p.live()) return;
    const vec3 g = p.position / fs.grid.cell_size();
    const cell_key key = make_key(g);
    vec3 centre;
    for (int i = 0; i < 3; ++i)
        centre[i] = (std::floor(g[i]) + 0.5f) * fs.grid.cell_size();
    cell_spread& spread = spreads[key];
    double d[3];
    for (int i = 0; i < 3; ++i)
        d[i] = double(p.position[i]) - double(centre[i]);
    spread.count += 1.0;
    for (int i = 0; i < 3; ++i)
        spread.sum[i] += d[i];
    spread.products[0] += d[0] * d[0];
    spread.products[1] += d[1] * d[1];
    spread.products[2] += d[2] * d[2];
    spread.products[3] += d[0] * d[1];
    spread.products[4] += d[0] * d[2];
    spread.products[5] += d[1] * d[2];
    if (spread.count == 1.0) centres.try_emplace(key, centre);
}

// The occupied cell at key counts once in the neighbourhood of each of the 27 cells around it.
// Summed over all occupied cells, a cell's count is the number of occupied cells among its own 27
// neighbours: its density, times 27, for exactly the cells that get one (the occupied ones and
// their neighbours).
void count_into(const cell_key& key, density_map& counts) {
    const vec3 q = key_coords(key);
    for (const vec3& o : stencil())
        counts[make_key(q + o)] += 1.0f;
}

// The cell's normal from the density gradient, and its centre when it has none yet.
void normal_into(const frame_set& fs, const cell_key& key, centre_map& centres,
                 centre_map& normals) {
    const vec3 q = key_coords(key);
    vec3 g;
    for (int a = 0; a < 3; ++a)
        for (int s = -1; s <= 1; s += 2) {
            vec3 step;
            step[a] = float(s);
            auto it = fs.grid.densities().find(make_key(q + step));
            const float d = it == fs.grid.densities().end() ? 0.0f : it->second;
            g[a] = g[a] - float(s) * d;
        }
    if (!fs.grid.centres().count(key))
        centres.try_emplace(key, (q + vec3(0.5f, 0.5f, 0.5f)) * fs.grid.cell_size());
    normals[key] = normalise(g);
}

// Adds a slice's entries to the grid's map under its merge lock; an entry that is there already
// stays.
template <class Map>
void merge_into(mutex& merge_lock, Map& into, const Map& part) {
    mutex_hold hold(merge_lock);
    for (const auto& [key, value] : part)
        into.try_emplace(key, value);
}

}  // namespace

void shape_cell(frame_set& fs, const particle& p) {
    shape_into(fs, p, fs.grid.centres_, fs.grid.spreads_);
}

void density_cell(frame_set& fs, const cell_key& key) {
    count_into(key, fs.grid.densities_);
}

void normal_cell(frame_set& fs, const cell_key& key) {
    normal_into(fs, key, fs.grid.centres_, fs.grid.normals_);
}

void shape_slice(frame_set& fs, const std::vector<particle*>& list, const share& indices) {
    centre_map part;
    spread_map spreads;
    for (int i : indices)
        shape_into(fs, *strict_index(list, i), part, spreads);
    cell_grid& grid = fs.grid;
    merge_into(grid.merge_lock_, grid.centres_, part);
    // Spreads of a cell that several slices share add up.
    mutex_hold hold(grid.merge_lock_);
    for (const auto& [key, spread] : spreads)
        grid.spreads_[key].add(spread);
}

void density_slice(frame_set& fs, const std::vector<cell_key>& keys, const share& indices) {
    density_map part;
    for (int i : indices)
        count_into(strict_index(keys, i), part);
    // Counts add up across the slices.
    mutex_hold hold(fs.grid.merge_lock_);
    for (const auto& [key, count] : part)
        fs.grid.densities_[key] += count;
}

void normal_slice(frame_set& fs, const std::vector<cell_key>& keys, const share& indices) {
    centre_map centres, normals;
    for (int i : indices)
        normal_into(fs, strict_index(keys, i), centres, normals);
    cell_grid& grid = fs.grid;
    merge_into(grid.merge_lock_, grid.normals_, normals);
    // Other slices still read the centres: the new ones join them after the pass.
    mutex_hold hold(grid.merge_lock_);
    grid.found_centres_.push_back(std::move(centres));
}

void shade_at(const frame_set& fs, const vec3& x, vec3& normal_sum, float* shade_sum) {
    // Cells that the passes never reached (points far from the live particles) add nothing.
    if (fs.grid.cell_size() <= 0.0f) return;
    shade_from(fs, neighbourhood_of(fs, cell_of(fs, x)), x, normal_sum, shade_sum);
}

int cells_near(const frame_set& fs, const vec3& x) {
    if (fs.grid.cell_size() <= 0.0f) return 0;
    const cell_key q = cell_of(fs, x);
    int count = 0;
    for (const vec3& o : stencil())
        if (fs.grid.normals().count(offset_key(q, o))) ++count;
    return count;
}

namespace {

// Eigenvalues of the symmetric matrix a (destroyed) by Jacobi rotations, ascending, with the unit
// eigenvector of the smallest.
void principal_axes(double a[3][3], double values[3], vec3& smallest) {
    double v[3][3] = {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};
    for (int sweep = 0; sweep < 32; ++sweep) {
        const double off = a[0][1] * a[0][1] + a[0][2] * a[0][2] + a[1][2] * a[1][2];
        const double diagonal = a[0][0] * a[0][0] + a[1][1] * a[1][1] + a[2][2] * a[2][2];
        if (off <= 1e-24 * diagonal) break;
        for (int p = 0; p < 2; ++p)
            for (int q = p + 1; q < 3; ++q) {
                if (a[p][q] == 0.0) continue;
                const double theta = (a[q][q] - a[p][p]) / (2.0 * a[p][q]);
                const double t = (theta >= 0.0 ? 1.0 : -1.0) /
                                 (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (int k = 0; k < 3; ++k) {
                    const double kp = a[k][p], kq = a[k][q];
                    a[k][p] = c * kp - s * kq;
                    a[k][q] = s * kp + c * kq;
                }
                for (int k = 0; k < 3; ++k) {
                    const double pk = a[p][k], qk = a[q][k];
                    a[p][k] = c * pk - s * qk;
                    a[q][k] = s * pk + c * qk;
                }
                for (int k = 0; k < 3; ++k) {
                    const double kp = v[k][p], kq = v[k][q];
                    v[k][p] = c * kp - s * kq;
                    v[k][q] = s * kp + c * kq;
                }
            }
    }
    int order[3] = {0, 1, 2};
    std::sort(order, order + 3, [&](int i, int j) { return a[i][i] < a[j][j]; });
    for (int i = 0; i < 3; ++i)
        values[i] = a[order[i]][order[i]];
    smallest = normalise(vec3(float(v[0][order[0]]), float(v[1][order[0]]), float(v[2][order[0]])));
}

// The plane that the particles of the 27 cells around m spread along: its unit normal (either
// way round) and how flat the spread is, from 0 (as wide across as along) to 1 (a plane).
bool plane_around(const frame_set& fs, const cell_key& m, vec3& normal, double& flatness) {
    double count = 0.0, sum[3] = {0.0, 0.0, 0.0};
    double products[3][3] = {{0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}};
    const vec3 q = key_coords(m);
    for (const vec3& o : stencil()) {
        auto it = fs.grid.spreads().find(make_key(q + o));
        if (it == fs.grid.spreads().end()) continue;
        const cell_spread& c = it->second;
        // The cell's offsets are from its own centre, o cells away from the middle one.
        const double d[3] = {double(o[0]) * fs.grid.cell_size(), double(o[1]) * fs.grid.cell_size(),
                             double(o[2]) * fs.grid.cell_size()};
        const double own[3][3] = {{c.products[0], c.products[3], c.products[4]},
                                  {c.products[3], c.products[1], c.products[5]},
                                  {c.products[4], c.products[5], c.products[2]}};
        count += c.count;
        for (int i = 0; i < 3; ++i) {
            sum[i] += c.sum[i] + c.count * d[i];
            for (int j = 0; j < 3; ++j)
                products[i][j] +=
                    own[i][j] + c.sum[i] * d[j] + d[i] * c.sum[j] + c.count * d[i] * d[j];
        }
    }
    if (count < 3.0) return false;
    double spread[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            spread[i][j] = products[i][j] / count - (sum[i] / count) * (sum[j] / count);
    double values[3];
    principal_axes(spread, values, normal);
    if (!(values[1] > 0.0)) return false;  // a point or a line: no plane
    flatness = std::clamp(1.0 - values[0] / values[1], 0.0, 1.0);
    return true;
}

}  // namespace

bool surface_normal(const frame_set& fs, const vec3& x, const vec3& facing, vec3& normal) {
    if (fs.grid.cell_size() <= 0.0f) return false;
    vec3 gradient;
    shade_at(fs, x, gradient, nullptr);
    vec3 towards = length(facing) > 0.0f ? facing : gradient;
    const cell_key q = cell_of(fs, x);
    const double reach = std::sqrt(2.0) * double(fs.grid.cell_size());
    vec3 sum;
    for (const vec3& o : stencil()) {
        const cell_key m = offset_key(q, o);
        auto centre = fs.grid.centres().find(m);
        if (centre == fs.grid.centres().end()) continue;
        const double w = 1.0 - double(length(x - centre->second)) / reach;
        vec3 n;
        double flatness = 0.0;
        if (w < 0.0 || !plane_around(fs, m, n, flatness)) continue;
        // Without a side to face, the first plane decides it for the others.
        if (!(length(towards) > 0.0f)) towards = n;
        if (dot(n, towards) < 0.0f) n = -n;
        sum += n * float(w * flatness);
    }
    const vec3 found = length(sum) > 0.0f ? sum : gradient;
    if (!(length(found) > 0.0f)) return false;
    normal = found / length(found);
    return true;
}

void shade_particles(frame_set& fs) {
    float lo = 100000000.0f, hi = -100000000.0f;
    // Many particles share a cell: its neighbourhood is looked up once.
    std::unordered_map<cell_key, neighbourhood, cell_key_hash> around;
    for (auto& [id, p] : fs.particles) {
        vec3 n;
        float s = 0.0f;
        if (fs.grid.cell_size() > 0.0f) {
            const cell_key q = cell_of(fs, p.position);
            auto it = around.find(q);
            if (it == around.end()) it = around.emplace(q, neighbourhood_of(fs, q)).first;
            shade_from(fs, it->second, p.position, n, &s);
        }
        p.shade = s;
        p.normal = normalise(n);
        lo = std::min(lo, s);
        hi = std::max(hi, s);
    }
    // Equal shades everywhere (one cell, or no grid) leave no range: every particle is an edge.
    const float range = hi - lo;
    for (auto& [id, p] : fs.particles)
        p.shade = range > 0.0f ? 1.0f - (p.shade - lo) / range : 1.0f;
}

}  // namespace kavrin
