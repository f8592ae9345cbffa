#pragma once
// The debug overlay's geometry of one frame: the box triangles of its occupied octree nodes and
// their face normals, made on demand (a step only marks them stale) and read under their own
// lock, so that the GUI thread draws whole ones or none.

#include <atomic>
#include <mutex>
#include <vector>

#include "base/mutex.h"

namespace kavrin {

class debug_geometry {
  public:
    // The frame's tree changed: the triangles are due again.
    void mark_stale() { stale_ = true; }
    bool stale() const { return stale_; }
    // Whether they are due, clearing the mark: the caller then makes them anew.
    bool take_stale() { return stale_.exchange(false); }

    // Replaces the triangles: three floats a vertex, a normal per vertex.
    void replace(std::vector<float> vertices, std::vector<float> normals) {
        mutex_hold hold(lock_);
        vertex_count_ = int(vertices.size() / 3);
        vertices_.swap(vertices);
        normals_.swap(normals);
    }
    // Calls draw(vertex_count, vertices, normals) while they are held still, unless another
    // thread holds them or there are none; returns whether it drew. The GUI thread never waits.
    template <class Draw>
    bool try_draw(Draw draw) const {
        if (!lock_.try_lock()) return false;
        mutex_hold hold(lock_, std::adopt_lock);
        if (vertex_count_ < 1) return false;
        draw(vertex_count_, vertices_.data(), normals_.data());
        return true;
    }
    // A copy of the vertices as they are now.
    std::vector<float> vertices() const {
        mutex_hold hold(lock_);
        return vertices_;
    }

  private:
    std::atomic<bool> stale_{true};  // read and set by any thread without the lock
    mutable mutex lock_;
    int vertex_count_ KAVRIN_GUARDED_BY(lock_) = 0;
    std::vector<float> vertices_ KAVRIN_GUARDED_BY(lock_);
    std::vector<float> normals_ KAVRIN_GUARDED_BY(lock_);
};

}  // namespace kavrin
