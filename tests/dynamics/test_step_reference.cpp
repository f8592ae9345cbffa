// The step keeps its work to what changed (listed moved particles, dirty nodes, cells to refresh,
// a table of node bounds, a tree walk in place of the range query). These tests hold it against
// the straightforward step on seeded clouds: full walks of the tree and the range query.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "dynamics/frame_step.h"
#include "dynamics/grid_fields.h"
#include "dynamics/leaf_keys.h"
#include "dynamics/level_index.h"
#include "scene_helpers.h"

using namespace kavrin;
using test::one_frame;

namespace {

// The cell that re-homing gives p, by the range query alone: the first cell of the first ring
// that holds p and is not its old cell; the root when none does.
oct_tree* reference_home(frame_set& fs, const particle& p) {
    if (!is_outside(*p.cell, p.position)) return p.cell;
    std::vector<oct_tree*> candidates;
    for (int r = 0; r < fs.tree.depth(); ++r) {
        const float radius = float(double(fs.tree.leaf_half()) * 3.5 * double(r + 1));
        find_cells(fs, p.position, radius, fs.tree.depth() - r - 1, candidates);
        for (oct_tree* c : candidates)
            if (c != p.cell && !is_outside(*c, p.position)) return c;
    }
    return &fs.tree.root();
}

// The index built by a walk of the tree: every leaf, in pre-order, into its level's key map
// (the first leaf keeps a shared key) and range tree; and its query.
struct reference_index {
    float extent;
    std::vector<std::unordered_map<cell_key, oct_tree*, cell_key_hash>> keys;
    std::vector<kd_tree> trees;

    reference_index(frame_set& fs) : extent(fs.tree.extent()), keys(size_t(fs.tree.depth())) {
        trees.resize(size_t(fs.tree.depth()));
        add(fs.tree.root());
    }
    void add(oct_tree& node) {
        if (node.children.empty() && node.depth >= 1) {
            const size_t level = size_t(node.depth - 1);
            keys[level].try_emplace(position_key(node.centroid, extent), &node);
            trees[level].insert(
                {double(node.centroid[0]), double(node.centroid[1]), double(node.centroid[2])});
        }
        for (auto& [key, child] : node.children)
            add(child);
    }
    std::vector<oct_tree*> find(const vec3& at, float radius, int level) const {
        std::vector<kd_tree::point> found;
        trees[size_t(level)].range({double(at[0]), double(at[1]), double(at[2])}, radius, found);
        std::vector<oct_tree*> out;
        for (const kd_tree::point& p : found) {
            auto it = keys[size_t(level)].find(
                position_key(vec3(float(p[0]), float(p[1]), float(p[2])), extent));
            if (it != keys[size_t(level)].end()) out.push_back(it->second);
        }
        return out;
    }
};

// A cloud with a dense part, a grid on cell faces and a few particles far out.
void seeded_cloud(one_frame& f, unsigned seed, int count) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int i = 0; i < count; ++i)
        f.add(i, vec3(u(rng), u(rng) * 0.4f, u(rng)));
    f.add_block(6, 0.25f);
    f.add(int(f.fs.particles.size()), vec3(3.0f, 0.0f, 0.0f));
}

// Moves about a fifth of the particles: small steps, steps onto exact cell corners of the grid,
// and some far throws.
void move_some(frame_set& fs, std::mt19937& rng, int round) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (auto& [id, p] : fs.particles) {
        if (rng() % 5) continue;
        if (round % 3 == 1 && id % 2)
            p.position = vec3(std::round(p.position[0] * 8.0f) / 8.0f,
                              std::round(p.position[1] * 8.0f) / 8.0f, p.position[2]);
        else
            p.position += vec3(u(rng), u(rng), u(rng)) * (round == 4 ? 2.0f : 0.15f);
        fs.mark_moved(p);
    }
}

}  // namespace

TEST(StepReference, RehomingMatchesTheRangeQuery) {
    for (unsigned seed : {1u, 2u, 3u}) {
        one_frame f;
        seeded_cloud(f, seed, 2500);
        step(f.fs, true, false);
        std::mt19937 rng(seed);
        for (int round = 0; round < 6; ++round) {
            move_some(f.fs, rng, round);
            int moved_out = 0;
            for (particle* p : f.fs.moved()) {
                if (!p->moved) continue;
                oct_tree* expected = reference_home(f.fs, *p);
                moved_out += expected != p->cell ? 1 : 0;
                rehome(f.fs, *p);
                ASSERT_EQ(p->cell, expected) << "seed " << seed << " round " << round;
            }
            EXPECT_GT(moved_out, 10);
            step(f.fs, round % 2 == 0, false);
        }
    }
}

TEST(StepReference, BookkeepingMatchesFullWalks) {
    one_frame f;
    seeded_cloud(f, 9, 3000);
    step(f.fs, true, false);
    std::mt19937 rng(9);
    for (int round = 0; round < 6; ++round) {
        move_some(f.fs, rng, round);
        step(f.fs, round % 2 == 1, false);
        ASSERT_TRUE(test::each_particle_in_its_cell(f.fs)) << round;

        std::vector<oct_tree*> nodes;
        collect(f.fs.tree.root(), nodes);
        point_box cloud;
        for (oct_tree* n : nodes) {
            // Bounds as a fresh update gives them: no node with changed members was missed.
            const vec3 lo = n->bound_min, hi = n->bound_max, c = n->centroid;
            const bool occupied = n->occupied;
            update_bounds(*n);
            ASSERT_EQ(n->bound_min, lo);
            ASSERT_EQ(n->bound_max, hi);
            ASSERT_EQ(n->centroid, c);
            ASSERT_EQ(n->occupied, occupied);
            // The table holds the same bounds.
            const box_table::box& b = f.fs.tree.boxes().at(n->slot);
            ASSERT_EQ(b.occupied, occupied);
            if (occupied) {
                ASSERT_EQ(b.lo, lo);
                ASSERT_EQ(b.hi, hi);
                cloud.add(hi);
                cloud.add(lo);
            }
            // The refresh left no particle above the leaf depth.
            if (n->depth < f.fs.tree.depth()) {
                ASSERT_TRUE(n->members.empty());
            }
        }
        EXPECT_EQ(f.fs.tree.extent(), cloud.largest_scale());

        // The index answers as one built from scratch by a walk of the tree.
        const reference_index reference(f.fs);
        std::vector<oct_tree*> got;
        size_t found = 0;
        std::uniform_real_distribution<float> u(-1.2f, 1.2f);
        for (int q = 0; q < 200; ++q) {
            const vec3 at(u(rng), u(rng) * 0.5f, u(rng));
            const int level = q % f.fs.tree.depth();
            const float radius = f.fs.tree.leaf_half() * 3.5f * float(1 + q % 3);
            find_cells(f.fs, at, radius, level, got);
            const std::vector<oct_tree*> want = reference.find(at, radius, level);
            ASSERT_EQ(got, want) << "round " << round << " query " << q;
            found += got.size();
        }
        EXPECT_GT(found, 200u);
    }
}

TEST(StepReference, ShadingMatchesThePointByPointBlend) {
    // Particles sharing a cell share its looked-up neighbourhood; the blend must stay the one of
    // 27 look-ups per particle, bit for bit.
    one_frame f;
    seeded_cloud(f, 5, 4000);
    step(f.fs, true, false);
    const frame_set& fs = f.fs;
    std::unordered_map<int, std::pair<vec3, float>> expected;
    float lo = 100000000.0f, hi = -100000000.0f;
    const double reach = std::sqrt(2.0) * double(fs.grid.cell_size());
    for (const auto& [id, p] : fs.particles) {
        const vec3 q = key_coords(make_key(p.position / fs.grid.cell_size()));
        vec3 n;
        float s = 0.0f;
        for (const vec3& o : stencil()) {
            const cell_key m = make_key(q + o);
            auto centre = fs.grid.centres().find(m);
            if (centre == fs.grid.centres().end()) continue;
            const double w = 1.0 - double(length(p.position - centre->second)) / reach;
            if (w < 0.0) continue;
            if (fs.grid.normals().count(m)) n += fs.grid.normals().at(m) * float(w);
            if (fs.grid.densities().count(m)) s += float(w * double(fs.grid.densities().at(m)));
        }
        expected[id] = {normalise(n), s};
        lo = std::min(lo, s);
        hi = std::max(hi, s);
    }
    ASSERT_LT(lo, hi);
    for (const auto& [id, p] : fs.particles) {
        ASSERT_EQ(p.normal, expected[id].first) << id;
        ASSERT_EQ(p.shade, 1.0f - (expected[id].second - lo) / (hi - lo)) << id;
    }
}

TEST(StepReference, LeafKeysKeepTheFirstLeafLikeAMap) {
    // Random keys with many repeats, over several clears: the table answers as a map in which
    // the first entry of a key stays.
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> coordinate(-40, 40);
    leaf_keys table;
    for (int round = 0; round < 3; ++round) {
        table.clear();
        std::unordered_map<cell_key, uint32_t, cell_key_hash> reference;
        for (uint32_t leaf = 0; leaf < 5000; ++leaf) {
            const cell_key key = make_key(coordinate(rng), coordinate(rng) / 8, coordinate(rng));
            ASSERT_EQ(table.try_emplace(key, leaf), reference.try_emplace(key, leaf).second);
        }
        ASSERT_EQ(table.size(), reference.size());
        for (int i = 0; i < 20000; ++i) {
            const cell_key key = make_key(coordinate(rng), coordinate(rng) / 8, coordinate(rng));
            auto it = reference.find(key);
            ASSERT_EQ(table.find(key), it == reference.end() ? leaf_keys::none : it->second);
        }
    }
}
