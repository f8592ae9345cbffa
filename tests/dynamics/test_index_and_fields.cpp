#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <unordered_set>

#include "base/key_state.h"
#include "dynamics/deform.h"
#include "dynamics/frame_step.h"
#include "dynamics/grid_fields.h"
#include "dynamics/kd_tree.h"
#include "dynamics/level_index.h"
#include "dynamics/octree.h"
#include "scene_helpers.h"

using namespace kavrin;
using test::one_frame;

TEST(KdTree, RangeFindsAllWithinRadiusInReverseTraversalOrder) {
    kd_tree tree;
    // Root (0,0,0) splits x; (1,0,0) goes right, (-1,0,0) left; (0.5,5,0) right of root, then
    // compared on y at (1,0,0): larger, so right again.
    tree.insert({0, 0, 0});
    tree.insert({1, 0, 0});
    tree.insert({-1, 0, 0});
    tree.insert({0.5, 5, 0});
    std::vector<kd_tree::point> out;
    tree.range({0.1, 0, 0}, 1.2, out);
    // Traversal from (0.1,0,0): root, then right subtree first (dx > 0) = (1,0,0), then left
    // (-1,0,0) since the radius crosses the split; reversed: (-1,0,0), (1,0,0), (0,0,0).
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], (kd_tree::point{-1, 0, 0}));
    EXPECT_EQ(out[1], (kd_tree::point{1, 0, 0}));
    EXPECT_EQ(out[2], (kd_tree::point{0, 0, 0}));
    EXPECT_EQ(tree.rect_max()[1], 5.0);
    tree.range({0.5, 5, 0}, 0.0, out);  // radius 0 still finds the point itself
    EXPECT_EQ(out.size(), 1u);
    tree.clear();
    tree.range({0, 0, 0}, 10.0, out);
    EXPECT_TRUE(out.empty());
}

// Points moved in place, a few or many, by a little or across the cloud: the tree must answer
// every query as one built afresh from the moved points in the same order.
TEST(KdTree, MovedPointsAnswerAsAFreshBuild) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<kd_tree::point> points;
    kd_tree mended;
    for (int i = 0; i < 3000; ++i) {
        // On a coarse grid, so that many points share split values.
        points.push_back({std::floor(u(rng) * 20.0) / 20.0, u(rng), std::floor(u(rng) * 8.0)});
        mended.insert(points.back());
    }
    for (int round = 0; round < 12; ++round) {
        std::vector<std::pair<int, kd_tree::point>> moves;
        const int count = round % 3 == 0 ? 400 : 12;
        const double reach = round % 2 ? 0.01 : 0.5;
        for (int m = 0; m < count; ++m) {
            const int i = int(rng() % points.size());
            for (double& c : points[size_t(i)])
                c += (u(rng) - 0.5) * reach;
            moves.emplace_back(i, points[size_t(i)]);
        }
        mended.move(moves);
        kd_tree fresh;
        for (const kd_tree::point& p : points)
            fresh.insert(p);
        EXPECT_EQ(mended.rect_min(), fresh.rect_min());
        EXPECT_EQ(mended.rect_max(), fresh.rect_max());
        std::vector<kd_tree::point> got, want;
        for (int q = 0; q < 50; ++q) {
            const kd_tree::point at{u(rng), u(rng), u(rng) * 8.0};
            const double radius = 0.02 + 0.3 * u(rng);
            mended.range(at, radius, got);
            fresh.range(at, radius, want);
            ASSERT_EQ(got, want) << "round " << round << " query " << q;
        }
    }
}

TEST(LevelIndex, DeepestLevelFindsNearbyLeaves) {
    one_frame f;
    f.add_block(5, 0.25f);
    step(f.fs, true, false);
    ASSERT_EQ(int(f.fs.levels.keys().size()), f.fs.tree.depth());
    std::vector<oct_tree*> cells;
    find_cells(f.fs, vec3(0.5f, 0.5f, 0.5f), f.fs.tree.leaf_half() * 2.0f, f.fs.tree.depth() - 1,
               cells);
    ASSERT_FALSE(cells.empty());
    for (oct_tree* c : cells) {
        EXPECT_TRUE(c->children.empty());
        EXPECT_EQ(c->depth, f.fs.tree.depth());
        EXPECT_LE(length(c->centroid - vec3(0.5f, 0.5f, 0.5f)),
                  f.fs.tree.leaf_half() * 2.0f + 1e-6f);
    }
    EXPECT_THROW(find_cells(f.fs, vec3(), 1.0f, f.fs.tree.depth(), cells), std::out_of_range);
}

// A step re-keys only the leaves whose bounds it recomputed; a frame that re-keys every leaf on
// every step must answer the same: the same leaf for every key, the same cells near any point
// and the same brush selection in the same order, stroke after stroke, on seeded clouds.
TEST(LevelIndex, ReKeyingWhatMovedMatchesTheFullRebuild) {
    for (unsigned seed : {3u, 11u}) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<float> unit(0.0f, 1.0f);
        one_frame mended, whole;
        for (int id = 0; id < 30000; ++id) {
            const vec3 p(unit(random), unit(random), unit(random) * 0.5f);
            mended.add(id, p);
            whole.add(id, p);
        }
        step(mended.fs, true, false);
        step(whole.fs, true, false);
        int mendable = 0;
        for (int n = 0; n < 16; ++n) {
            const vec3 centre = mended.fs.particles.at(int(unit(random) * 29999.0f)).position;
            const vec3 push =
                normalise(vec3(unit(random) - 0.5f, unit(random) - 0.5f, unit(random) - 0.5f));
            // Now and then a stroke pulls particles out of the cloud, and the extent grows.
            const float amount = n % 7 == 6 ? 40.0f : 4.0f;
            std::vector<int> picked[2];
            int side = 0;
            for (one_frame* f : {&mended, &whole}) {
                stroke s;
                s.mode = brush_kind::grab;
                s.keys = key_state::released();
                s.keys.set("ctrl", false);
                s.keys.set("shift", false);
                s.reach = 1.0f;
                s.amount = amount;
                s.vector = push;
                select_particles(f->fs, s, centre, 0.08f, 0, false);
                for (particle* p : s.particles)
                    picked[side].push_back(p->id);
                ++side;
                apply_stroke(f->fs, s);
            }
            ASSERT_FALSE(picked[0].empty());
            ASSERT_EQ(picked[0], picked[1]) << "stroke " << n;
            mendable += mended.fs.levels.keys_whole() ? 1 : 0;
            whole.fs.levels.forget_keys();  // keys every leaf afresh
            const bool sequential = n % 2 == 1;
            step(mended.fs, sequential, false);
            step(whole.fs, sequential, false);

            ASSERT_EQ(mended.fs.levels.leaf_order().size(), whole.fs.levels.leaf_order().size());
            for (size_t i = 0; i < whole.fs.levels.leaf_order().size(); ++i) {
                const oct_tree& leaf = *whole.fs.levels.leaf_order()[i];
                const cell_key key = position_key(leaf.centroid, whole.fs.tree.extent());
                const size_t level = size_t(leaf.depth - 1);
                ASSERT_EQ(mended.fs.levels.keys()[level].find(key),
                          whole.fs.levels.keys()[level].find(key))
                    << "stroke " << n << " leaf " << i;
            }
            for (size_t level = 0; level < whole.fs.levels.keys().size(); ++level)
                EXPECT_EQ(mended.fs.levels.keys()[level].size(),
                          whole.fs.levels.keys()[level].size());
            std::vector<oct_tree*> near[2];
            find_cells(mended.fs, centre, 0.1f, mended.fs.tree.depth() - 1, near[0]);
            find_cells(whole.fs, centre, 0.1f, whole.fs.tree.depth() - 1, near[1]);
            ASSERT_EQ(near[0].size(), near[1].size());
            for (size_t i = 0; i < near[0].size(); ++i)
                EXPECT_EQ(near[0][i]->leaf_place, near[1][i]->leaf_place);
        }
        EXPECT_GE(mendable, 10);  // most steps mended the keys in place
    }
}

TEST(LevelIndex, PositionKeyScalesByExtent) {
    EXPECT_EQ(position_key(vec3(0.5f, -0.25f, 1.0f), 2.0f), make_key(25000, -12500, 50000));
}

TEST(GridFields, SingleLiveParticleAndDeadOnes) {
    one_frame f;
    f.add(0, vec3(0.05f, 0.05f, 0.05f));
    for (int i = 1; i < 10; ++i)
        f.add(i, vec3(0.1f * i, 0.3f, 0.0f), 0.0f);  // dead
    measure_extent(f.fs);  // no live cell: the extent of all ten, 0.9 - 0.05 along x
    EXPECT_NEAR(f.fs.tree.extent(), 0.85f, 0.00001f);
    field_passes(f.fs, true);
    EXPECT_FLOAT_EQ(f.fs.grid.cell_size(), f.fs.tree.extent() * 0.5f);  // log10(10) = 1: half
    ASSERT_EQ(f.fs.grid.centres().size(), 27u);    // the live cell, then the normal pass adds 26
    ASSERT_EQ(f.fs.grid.densities().size(), 27u);
    for (auto& [key, d] : f.fs.grid.densities())
        EXPECT_FLOAT_EQ(d, 1.0f / 27.0f) << qPrintable(key_text(key));
    EXPECT_EQ(f.fs.grid.normals().at(make_key(0, 0, 0)), vec3());
    // A neighbour's normal points away from the occupied cell.
    const vec3 n = f.fs.grid.normals().at(make_key(1, 0, 0));
    EXPECT_GT(n[0], 0.0f);
    EXPECT_FLOAT_EQ(length(n), 1.0f);
}

TEST(GridFields, ParallelPassesMatchSequentialAndTheCellByCellDensities) {
    one_frame a, b;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (auto* f : {&a, &b}) {
        f->window.cpu_count = 3;
        f->add_block(9, 0.11f);
        for (int i = 0; i < 300; ++i)  // a sparse halo, so that cells have every count
            f->add(1000 + i, vec3(u(rng), u(rng), u(rng)) * 2.0f - vec3(0.5f, 0.5f, 0.5f));
        rng.seed(3);
        step(f->fs, true, false);
    }
    field_passes(a.fs, true);
    field_passes(b.fs, false);
    // Densities as first defined: for each occupied cell, itself and each empty neighbour get
    // the share of the 27 cells around them that are occupied.
    std::unordered_map<cell_key, float, cell_key_hash> reference;
    std::unordered_set<cell_key, cell_key_hash> occupied;
    for (const auto& [id, p] : a.fs.particles)
        if (p.live()) occupied.insert(make_key(p.position / a.fs.grid.cell_size()));
    for (const cell_key& q : occupied)
        for (const vec3& o : stencil()) {
            const cell_key n = make_key(key_coords(q) + o);
            int count = 0;
            for (const vec3& o2 : stencil())
                count += int(occupied.count(make_key(key_coords(n) + o2)));
            reference.try_emplace(n, float(count) / 27.0f);
        }
    EXPECT_EQ(a.fs.grid.densities(), reference);
    ASSERT_EQ(a.fs.grid.densities().size(), b.fs.grid.densities().size());
    for (auto& [key, d] : a.fs.grid.densities())
        EXPECT_EQ(b.fs.grid.densities().at(key), d);
    for (auto& [key, n] : a.fs.grid.normals())
        EXPECT_EQ(b.fs.grid.normals().at(key), n);
    for (auto& [key, c] : a.fs.grid.centres())
        EXPECT_EQ(b.fs.grid.centres().at(key), c);
}

TEST(GridFields, FacesBelongToTheCellAbove) {
    one_frame f;
    f.add(0, vec3(1.0f, 0.0f, -1.0f));
    f.fs.grid.set_cell_size(1.0f);
    shape_cell(f.fs, f.fs.particles.at(0));
    ASSERT_EQ(f.fs.grid.centres().size(), 1u);
    EXPECT_EQ(f.fs.grid.centres().at(make_key(1, 0, -1)), vec3(1.5f, 0.5f, -0.5f));
}

TEST(GridFields, ShadingAwayFromTheFluidAndTinyFrames) {
    one_frame f;
    f.add_block(4, 0.1f);
    particle& far = f.add(500, vec3(30, 30, 30), 0.0f);  // dead, far from every known cell
    step(f.fs, true, false);
    vec3 n;
    float s = 0.0f;
    EXPECT_NO_THROW(shade_at(f.fs, far.position, n, &s));
    EXPECT_EQ(n, vec3());
    EXPECT_EQ(s, 0.0f);
    EXPECT_EQ(cells_near(f.fs, far.position), 0);
    EXPECT_EQ(cells_near(f.fs, vec3(0.15f, 0.15f, 0.15f)), 27);
    for (auto& [id, p] : f.fs.particles) {
        EXPECT_GE(p.shade, 0.0f);
        EXPECT_LE(p.shade, 1.0f);
    }

    // One particle: no cell size from log10(1) = 0, so the grid stays empty and nothing fails.
    one_frame single;
    single.add(0, vec3(1, 1, 1));
    step(single.fs, true, false);
    EXPECT_TRUE(single.fs.grid.centres().empty());
    EXPECT_EQ(single.fs.particles.at(0).shade, 1.0f);
    EXPECT_EQ(single.fs.particles.at(0).normal, vec3());
}

TEST(FrameStep, ParallelStepWithoutRefreshKeepsTheGrid) {
    one_frame f;
    f.add_block(5, 0.2f);
    step(f.fs, false, true);  // the first step ignores its arguments and builds everything
    ASSERT_TRUE(f.fs.initialised && f.fs.settled);
    const auto densities = f.fs.grid.densities();
    const vec3 normal = f.fs.particles.at(7).normal;
    for (auto& [id, p] : f.fs.particles) {
        p.position += vec3(0.37f, 0, 0);
        f.fs.mark_moved(p);
    }
    step(f.fs, false, false);
    EXPECT_EQ(f.fs.grid.densities(), densities);
    EXPECT_EQ(f.fs.particles.at(7).normal, normal);
    step(f.fs, true, false);  // sequential steps refresh it
    EXPECT_NE(f.fs.grid.densities(), densities);
}

TEST(FrameStep, DebugGeometryBoxesEveryOccupiedNode) {
    one_frame f;
    f.add_block(3, 0.5f);
    step(f.fs, true, false);
    // Made on demand, once per change of the frame.
    EXPECT_TRUE(f.fs.debug.stale());
    refresh_debug_geometry(f.fs);
    EXPECT_FALSE(f.fs.debug.stale());
    std::vector<oct_tree*> nodes;
    collect(f.fs.tree.root(), nodes);
    int occupied = 0;
    for (oct_tree* n : nodes)
        occupied += n->occupied ? 1 : 0;
    int drawn = 0;
    EXPECT_TRUE(f.fs.debug.try_draw([&](int count, const float*, const float*) { drawn = count; }));
    EXPECT_EQ(drawn, occupied * 36);
    const std::vector<float> vertices = f.fs.debug.vertices();
    EXPECT_EQ(vertices.size(), size_t(occupied) * 108);
    // Every box reaches 0.1 leaf half-sizes beyond its particles.
    float lowest = 1e9f;
    for (size_t i = 0; i < vertices.size(); i += 3)
        lowest = std::min(lowest, vertices[i]);
    EXPECT_FLOAT_EQ(lowest, -0.1f * f.fs.tree.leaf_half());
}
