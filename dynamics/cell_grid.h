#pragma once
// The sparse grid of one frame: the cell edge, and per cell its centre, density, normal and the
// spread of its particles. The field passes (dynamics/grid_fields.h) make it; everyone else reads
// it, from another thread under its field lock.

#include <mutex>
#include <unordered_map>
#include <vector>

#include "base/cell_key.h"
#include "base/mutex.h"
#include "base/parallel.h"
#include "base/particle.h"
#include "base/vec3.h"

namespace kavrin {

class frame_set;

// Where the live particles of one grid cell lie, relative to the cell's centre: their count, the
// sum of their offsets and the sums of products xx, yy, zz, xy, xz, yz, so that the plane they
// spread along can be found without the particles.
struct cell_spread {
    double count = 0.0;
    double sum[3] = {0.0, 0.0, 0.0};
    double products[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};

    void add(const cell_spread& o) {
        count += o.count;
        for (int i = 0; i < 3; ++i)
            sum[i] += o.sum[i];
        for (int i = 0; i < 6; ++i)
            products[i] += o.products[i];
    }
};

using cell_vectors = std::unordered_map<cell_key, vec3, cell_key_hash>;
using cell_values = std::unordered_map<cell_key, float, cell_key_hash>;
using cell_spreads = std::unordered_map<cell_key, cell_spread, cell_key_hash>;

class cell_grid {
  public:
    // The edge of a cell; 0 while the frame has too few particles for a grid.
    float cell_size() const { return cell_size_; }
    // The cells by key: every occupied cell and its neighbours have a centre and a density, the
    // ones with density a normal (not always of unit length), the occupied ones a spread.
    const cell_vectors& centres() const { return centres_; }
    const cell_values& densities() const { return densities_; }
    const cell_vectors& normals() const { return normals_; }
    const cell_spreads& spreads() const { return spreads_; }

    // A grid given cell by cell instead of made by the passes: the edge, then each cell's
    // centre and normal (a cell given again takes the new ones).
    void set_cell_size(float size) { cell_size_ = size; }
    void set_cell(const cell_key& key, const vec3& centre, const vec3& normal) {
        centres_.insert_or_assign(key, centre);
        normals_.insert_or_assign(key, normal);
    }

    // The field passes hold the field lock while they make the grid; a reader on another thread
    // holds it too. `how` is what std::unique_lock takes besides the mutex.
    std::unique_lock<mutex> hold() const { return std::unique_lock<mutex>(field_lock_); }
    template <class How>
    std::unique_lock<mutex> hold(How how) const {
        return std::unique_lock<mutex>(field_lock_, how);
    }

  private:
    // The passes that make the grid.
    friend void field_passes(frame_set& fs, bool sequential);
    friend void shape_cell(frame_set& fs, const particle& p);
    friend void density_cell(frame_set& fs, const cell_key& key);
    friend void normal_cell(frame_set& fs, const cell_key& key);
    friend void shape_slice(frame_set& fs, const std::vector<particle*>& list,
                            const share& indices);
    friend void density_slice(frame_set& fs, const std::vector<cell_key>& keys,
                              const share& indices);
    friend void normal_slice(frame_set& fs, const std::vector<cell_key>& keys,
                             const share& indices);

    mutable mutex field_lock_;
    // Changed only by the passes, under field_lock_.
    float cell_size_ = 0.0f;
    cell_vectors centres_;
    cell_values densities_;
    cell_vectors normals_;
    cell_spreads spreads_;
    // Every particle of the frame in map order, for the parallel shape pass; made again when the
    // count changed (particles are only added, before the first step). The passes' alone.
    std::vector<particle*> shape_list_;
    // The slices of a parallel pass join the maps above under merge_lock_.
    mutex merge_lock_;
    // Centres that the slices of a parallel normal pass found missing, under merge_lock_: joined
    // after the pass, since every slice reads centres_ while the pass runs.
    std::vector<cell_vectors> found_centres_;
};

}  // namespace kavrin
