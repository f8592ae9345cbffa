#include "dynamics/grid_fields.h"

#include <cmath>
#include <vector>

#include "core/frame_set.h"
#include "core/strict.h"
#include "core/threading.h"

namespace kavrin {

namespace {

cell_key offset_key(const cell_key& q, const vec3& o) {
    return make_key(key_coords(q) + o);
}

// Grid cell holding x.
cell_key cell_of(const frame_set& fs, const vec3& x) {
    return make_key(x / fs.cell_size);
}

template <class Map>
void run_over_keys(frame_set& fs, const Map& map, bool sequential, const char* command,
                   void (*body)(frame_set&, const cell_key&)) {
    std::vector<cell_key> keys;
    keys.reserve(map.size());
    for (const auto& entry : map)
        keys.push_back(entry.first);
    if (sequential) {
        for (const cell_key& k : keys)
            body(fs, k);
        return;
    }
    const job_args args{&keys};
    run_jobs(job_receiver(), true, int(keys.size()), worker_count(fs), &fs, "frame_set", command,
             &args);
}

}  // namespace

void field_passes(frame_set& fs, bool sequential) {
    QMutexLocker hold(fs.field_lock.get());
    fs.cell_centres.clear();
    fs.cell_density.clear();
    fs.cell_normals.clear();
    // With fewer than two particles log10 of the count gives no usable cell size (an infinite
    // or zero edge): the grid stays empty and shading finds no cells.
    if (fs.particles.size() < 2) {
        fs.cell_size = 0.0f;
        return;
    }
    fs.cell_size = (fs.extent / std::log10(float(fs.particles.size()))) * 0.5f;

    if (sequential) {
        for (const auto& [id, p] : fs.particles)
            shape_cell(fs, p);
    } else {
        std::vector<particle*> all;
        all.reserve(fs.particles.size());
        for (auto& [id, p] : fs.particles)
            all.push_back(&p);
        const job_args args{&all};
        run_jobs(job_receiver(), true, int(all.size()), worker_count(fs), &fs, "frame_set",
                 "mid shape", &args);
    }
    run_over_keys(fs, fs.cell_centres, sequential, "mid density", density_cell);
    run_over_keys(fs, fs.cell_density, sequential, "mid normal", normal_cell);
}

void shape_cell(frame_set& fs, const particle& p) {
    if (!p.live()) return;
    const vec3 g = p.position / fs.cell_size;
    const cell_key key = make_key(g);
    vec3 centre;
    for (int i = 0; i < 3; ++i)
        centre[i] = (std::floor(g[i]) + 0.5f) * fs.cell_size;
    QMutexLocker hold(&fs.grid_lock);
    fs.cell_centres.try_emplace(key, centre);
}

void density_cell(frame_set& fs, const cell_key& key) {
    const vec3 q = key_coords(key);
    const auto& offsets = stencil();
    for (const vec3& o : offsets) {
        const cell_key n = make_key(q + o);
        {
            QMutexLocker hold(&fs.grid_lock);
            if (fs.cell_density.count(n)) continue;
        }
        // The centres are complete after the shape pass; only the density map grows here.
        const bool centre_offset = o == vec3();
        if (!centre_offset && fs.cell_centres.count(n)) continue;
        int count = 0;
        for (const vec3& o2 : offsets)
            if (fs.cell_centres.count(offset_key(n, o2))) ++count;
        QMutexLocker hold(&fs.grid_lock);
        fs.cell_density.try_emplace(n, float(count) / float(offsets.size()));
    }
}

void normal_cell(frame_set& fs, const cell_key& key) {
    const vec3 q = key_coords(key);
    vec3 g;
    for (int a = 0; a < 3; ++a)
        for (int s = -1; s <= 1; s += 2) {
            vec3 step;
            step[a] = float(s);
            auto it = fs.cell_density.find(make_key(q + step));
            const float d = it == fs.cell_density.end() ? 0.0f : it->second;
            g[a] = g[a] - float(s) * d;
        }
    g = normalise(g);
    QMutexLocker hold(&fs.grid_lock);
    fs.cell_centres.try_emplace(key, (q + vec3(0.5f, 0.5f, 0.5f)) * fs.cell_size);
    fs.cell_normals[key] = g;
}

void shade_at(const frame_set& fs, const vec3& x, vec3& normal_sum, float* shade_sum) {
    // Cells that the passes never reached (points far from the live particles) add nothing.
    if (fs.cell_size <= 0.0f) return;
    const cell_key q = cell_of(fs, x);
    const double reach = std::sqrt(2.0) * double(fs.cell_size);
    for (const vec3& o : stencil()) {
        const cell_key m = offset_key(q, o);
        auto centre = fs.cell_centres.find(m);
        if (centre == fs.cell_centres.end()) continue;
        const double w = 1.0 - double(length(x - centre->second)) / reach;
        if (w < 0.0) continue;
        auto normal = fs.cell_normals.find(m);
        if (normal != fs.cell_normals.end()) normal_sum += normal->second * float(w);
        if (shade_sum) {
            auto density = fs.cell_density.find(m);
            if (density != fs.cell_density.end()) *shade_sum += float(w * double(density->second));
        }
    }
}

int cells_near(const frame_set& fs, const vec3& x) {
    if (fs.cell_size <= 0.0f) return 0;
    const cell_key q = cell_of(fs, x);
    int count = 0;
    for (const vec3& o : stencil())
        if (fs.cell_normals.count(offset_key(q, o))) ++count;
    return count;
}

void shade_particles(frame_set& fs) {
    float lo = 100000000.0f, hi = -100000000.0f;
    for (auto& [id, p] : fs.particles) {
        vec3 n;
        float s = 0.0f;
        shade_at(fs, p.position, n, &s);
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
