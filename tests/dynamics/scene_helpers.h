#pragma once
// Small hand-made frames for the dynamics tests.

#include <vector>

#include "scene/emitter.h"
#include "fake_window.h"

namespace kavrin::test {

struct one_frame {
    fake_window window;
    emitter scene{false, &window};
    frame_set& fs;

    one_frame() : fs(scene.add_frame(0)) {}

    particle& add(int id, const vec3& position, float weight = 1.0f) {
        particle& p = fs.particles.try_emplace(id, id, position, 1.0f).first->second;
        p.weight = weight;
        return p;
    }
    // A grid of n x n x n particles spaced by step from the origin.
    void add_block(int n, float step) {
        int id = int(fs.particles.size());
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                for (int k = 0; k < n; ++k)
                    add(id++, vec3(i * step, j * step, k * step));
    }
};

// Every particle sits in exactly one node's members, and that node is its cell.
inline ::testing::AssertionResult each_particle_in_its_cell(frame_set& fs) {
    std::vector<oct_tree*> nodes;
    collect(fs.tree.root(), nodes);
    std::unordered_map<int, int> seen;
    for (oct_tree* n : nodes)
        for (auto& [id, p] : n->members) {
            if (p->cell != n) return ::testing::AssertionFailure() << "particle " << id << " cell";
            ++seen[id];
        }
    for (auto& [id, p] : fs.particles)
        if (seen[id] != 1)
            return ::testing::AssertionFailure() << "particle " << id << " in " << seen[id];
    return ::testing::AssertionSuccess();
}

}  // namespace kavrin::test
