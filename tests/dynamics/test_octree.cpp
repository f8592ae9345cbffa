#include <gtest/gtest.h>

#include <random>

#include "dynamics/frame_step.h"
#include "dynamics/level_index.h"
#include "dynamics/octree.h"
#include "scene_helpers.h"

using namespace kavrin;
using test::one_frame;

TEST(Octree, DepthFollowsTheParticleCount) {
    EXPECT_EQ(tree_depth_for(0), 2);
    EXPECT_EQ(tree_depth_for(99), 2);
    EXPECT_EQ(tree_depth_for(999), 2);
    EXPECT_EQ(tree_depth_for(1000), 3);
    EXPECT_EQ(tree_depth_for(9999), 3);
    EXPECT_EQ(tree_depth_for(10000), 4);
}

TEST(Octree, PlanarCloudHasAtMostFourRootChildren) {
    one_frame f;
    for (int i = 0; i < 10; ++i)
        for (int j = 0; j < 10; ++j)
            f.add(i * 10 + j, vec3(i * 0.1f, j * 0.05f, 2.0f));
    build_tree(f.fs);
    EXPECT_LE(f.fs.tree.root().children.size(), 4u);
    for (auto& [key, child] : f.fs.tree.root().children)
        EXPECT_EQ(key.z, 0);
    EXPECT_FLOAT_EQ(f.fs.tree.extent(), 0.9f + 0.000001f);
    EXPECT_FLOAT_EQ(f.fs.tree.leaf_half(), f.fs.tree.extent() / 8.0f);
}

TEST(Octree, QueuedParticleOutsideTheRootGrowsAChild) {
    one_frame f;
    f.add_block(3, 0.5f);  // cloud 0..1 on every axis
    step(f.fs, true, false);
    ASSERT_TRUE(test::each_particle_in_its_cell(f.fs));
    // A newcomer two root widths to the right and below the box.
    particle& out = f.add(100, vec3(2.5f, 0.2f, -0.7f));
    f.fs.tree.queue_insert(out);
    insert_queued(f.fs);
    const cell_key key =
        make_key((out.position - f.fs.tree.root().corner) / f.fs.tree.root().half_size);
    EXPECT_GT(key.x, 1);  // beyond the root box on x, below it on z
    EXPECT_LT(key.z, 0);
    ASSERT_TRUE(f.fs.tree.root().children.count(key));
    EXPECT_TRUE(test::each_particle_in_its_cell(f.fs));
    EXPECT_EQ(out.cell->depth, f.fs.tree.depth());
}

TEST(Octree, BoundsOfDeadAndLiveMembers) {
    one_frame f;
    oct_tree node;
    init(node, 1, 0.5f, vec3(0, 0, 0), &f.fs);
    particle& dead = f.add(1, vec3(0.2f, 0.2f, 0.2f), 0.0f);
    node.members.emplace(1, &dead);
    update_bounds(node);
    EXPECT_FALSE(node.occupied);
    EXPECT_EQ(node.centroid, vec3(0.5f, 0.5f, 0.5f));
    EXPECT_EQ(node.bound_min, node.centroid);
    EXPECT_EQ(node.bound_max, node.centroid);
    particle& live = f.add(2, vec3(0.8f, 0.4f, 0.6f));
    node.members.emplace(2, &live);
    node.dirty = true;
    update_bounds(node);
    EXPECT_TRUE(node.occupied);
    EXPECT_EQ(node.centroid, live.position);
    EXPECT_FALSE(node.dirty);
}

TEST(Octree, FarFaceCountsAsInside) {
    oct_tree node;
    init(node, 1, 0.5f, vec3(1, 1, 1), nullptr);
    EXPECT_FALSE(is_outside(node, vec3(2, 2, 2)));
    EXPECT_FALSE(is_outside(node, vec3(1, 1, 1)));
    EXPECT_TRUE(is_outside(node, vec3(2.0001f, 1.5f, 1.5f)));
}

TEST(Rehome, StaysInsideButMarksTheCell) {
    one_frame f;
    f.add_block(4, 0.3f);
    step(f.fs, true, false);
    particle& p = f.fs.particles.at(5);
    oct_tree* cell = p.cell;
    cell->dirty = false;
    p.position = cell->corner + vec3(2, 2, 2) * cell->half_size;  // the far corner
    p.moved = true;
    rehome(f.fs, p);
    EXPECT_EQ(p.cell, cell);
    EXPECT_TRUE(cell->dirty);
    EXPECT_FALSE(p.moved);
}

TEST(Rehome, FarAwayEndsInTheRootAndIsPushedDown) {
    one_frame f;
    f.add_block(4, 0.3f);
    step(f.fs, true, false);
    particle& p = f.fs.particles.at(0);
    p.position = vec3(50, 50, 50);
    p.moved = true;
    rehome(f.fs, p);
    EXPECT_EQ(p.cell, &f.fs.tree.root());
    EXPECT_TRUE(f.fs.tree.root().members.count(0));
    step(f.fs, true, false);  // the refresh pushes it down again
    EXPECT_NE(p.cell, &f.fs.tree.root());
    EXPECT_TRUE(f.fs.tree.root().members.empty());
    EXPECT_TRUE(test::each_particle_in_its_cell(f.fs));
}

TEST(Rehome, NeighbourCellReceivesTheParticle) {
    one_frame f;
    f.add_block(5, 0.25f);
    step(f.fs, true, false);
    particle& p = f.fs.particles.at(0);  // at the origin
    const oct_tree* from = p.cell;
    p.position = vec3(0.6f, 0.0f, 0.0f);
    p.moved = true;
    rehome(f.fs, p);
    EXPECT_NE(p.cell, from);
    EXPECT_NE(p.cell, &f.fs.tree.root());
    EXPECT_FALSE(is_outside(*p.cell, p.position));
}

TEST(Rehome, CellsThatReceiveParticlesReportThem) {
    // Every live particle lies inside the bounds of an occupied node, and the extent spans the
    // cloud, whatever ring or refresh placed it.
    one_frame f;
    f.add_block(6, 0.2f);
    step(f.fs, true, false);
    for (auto& [id, p] : f.fs.particles) {
        p.position += vec3(0.45f, 0.3f, 0.0f);  // several leaves over, some out of the root box
        f.fs.mark_moved(p);
    }
    step(f.fs, false, false);
    for (auto& [id, p] : f.fs.particles) {
        ASSERT_TRUE(p.cell->occupied) << id;
        for (int a = 0; a < 3; ++a) {
            EXPECT_LE(p.cell->bound_min[a], p.position[a]);
            EXPECT_GE(p.cell->bound_max[a], p.position[a]);
        }
    }
    EXPECT_NEAR(f.fs.tree.extent(), 1.0f, 1e-4f);
}

TEST(Octree, EveryParticleInOneCellAfterRandomMovesAndSteps) {
    one_frame f;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int i = 0; i < 1500; ++i)
        f.add(i, vec3(u(rng), u(rng) * 0.5f, u(rng)));
    step(f.fs, true, false);
    ASSERT_TRUE(test::each_particle_in_its_cell(f.fs));
    for (int round = 0; round < 6; ++round) {
        for (auto& [id, p] : f.fs.particles) {
            if (rng() % 5) continue;
            const float reach = round == 3 ? 4.0f : 0.3f;  // one round throws some far out
            p.position += vec3(u(rng), u(rng), u(rng)) * reach;
            f.fs.mark_moved(p);
        }
        step(f.fs, round % 2 == 0, false);
        ASSERT_TRUE(test::each_particle_in_its_cell(f.fs)) << "round " << round;
        for (auto& [id, p] : f.fs.particles)
            ASSERT_FALSE(p.moved);
    }
}

namespace {

// Subdivision as first written: each level reads the positions from the particles.
void reference_subdivide(oct_tree& node, int max_depth) {
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j)
            for (int k = 0; k < 2; ++k)
                make_child(node, make_key(i, j, k));
    for (const auto& [id, p] : node.members) {
        vec3 g = (p->position - node.corner) / node.half_size;
        for (int a = 0; a < 3; ++a)
            g[a] = g[a] < 0.0f ? 0.0f : g[a] >= 2.0f ? 1.0f : g[a];
        oct_tree& child = node.children.at(make_key(g));
        p->cell = &child;
        mark_dirty(child);
        child.members.append(id, p);
    }
    node.members.clear();
    for (auto& [key, child] : node.children)
        child.members.sort();
    for (auto& [key, child] : node.children)
        if (!child.members.empty() && child.depth < max_depth) reference_subdivide(child, max_depth);
}

}  // namespace

// Seeded clouds with particles on cell faces, outside the node and in a child that held
// particles already: the same nodes made in the same order, the same members and dirty list.
TEST(Octree, SubdivisionMatchesTheLevelByLevelReference) {
    for (unsigned seed : {2u, 8u}) {
        one_frame fast, plain;
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(-0.1f, 1.1f);
        for (int id = 0; id < 4000; ++id) {
            vec3 p(u(rng), u(rng), u(rng));
            if (id % 7 == 0) p[id % 3] = std::round(p[id % 3] * 8.0f) / 8.0f;
            fast.add(id, p);
            plain.add(id, p);
        }
        for (one_frame* f : {&fast, &plain}) {
            init(f->fs.tree.root(), 0, 0.5f, vec3(), &f->fs);
            oct_tree& held =
                make_child(make_child(f->fs.tree.root(), make_key(1, 0, 1)), make_key(0, 0, 0));
            for (auto& [id, p] : f->fs.particles)
                (id % 11 == 0 ? held.members : f->fs.tree.root().members).emplace(id, &p);
        }
        subdivide(fast.fs.tree.root(), 5);
        reference_subdivide(plain.fs.tree.root(), 5);
        std::vector<oct_tree*> a, b;
        collect(fast.fs.tree.root(), a);
        collect(plain.fs.tree.root(), b);
        ASSERT_EQ(a.size(), b.size());
        std::unordered_map<const oct_tree*, size_t> at_a, at_b;
        for (size_t i = 0; i < a.size(); ++i) {
            at_a[a[i]] = at_b[b[i]] = i;
            ASSERT_EQ(a[i]->slot, b[i]->slot) << i;
            ASSERT_EQ(a[i]->corner, b[i]->corner) << i;
            std::vector<int> ids_a, ids_b;
            for (const auto& [id, p] : a[i]->members)
                ids_a.push_back(id);
            for (const auto& [id, p] : b[i]->members)
                ids_b.push_back(id);
            ASSERT_EQ(ids_a, ids_b) << i;
        }
        for (auto& [id, p] : fast.fs.particles)
            ASSERT_EQ(at_a.at(p.cell), at_b.at(plain.fs.particles.at(id).cell)) << id;
        const std::vector<oct_tree*> due_a = fast.fs.tree.due_nodes();
        const std::vector<oct_tree*> due_b = plain.fs.tree.due_nodes();
        ASSERT_EQ(due_a.size(), due_b.size());
        for (size_t i = 0; i < due_a.size(); ++i)
            ASSERT_EQ(at_a.at(due_a[i]), at_b.at(due_b[i])) << i;
    }
}
