#pragma once
// The particle state of one frame: its particles, octree, level index, grid fields and debug
// geometry, with the locks and flags that coordinate the workers that step and draw it.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "base/cell_key.h"
#include "base/mutex.h"
#include "base/parallel.h"
#include "base/particle.h"
#include "dynamics/cell_grid.h"
#include "dynamics/debug_geometry.h"
#include "dynamics/level_index.h"
#include "dynamics/octree.h"

namespace kavrin {

class frame_host;

class frame_set {
  public:
    frame_set(int frame, frame_host* host);
    frame_set(const frame_set&) = delete;
    frame_set& operator=(const frame_set&) = delete;

    frame_host* const host;  // not owned; null for a frame on its own
    const int frame;

    // Flags are read by the window and the workers of other frames without a lock; each is one
    // atomic byte and readers tolerate a value that is one tick stale.
    std::atomic<bool> empty{false};       // the cache had no particles for this frame
    std::atomic<bool> settled{false};     // up to date: set by a step, cleared by a stroke
    std::atomic<bool> touched{false};     // the viewport must rebuild its drawing
    // Steps taken: every change of the particles ends with one, so a reader that sees the same
    // count under the eat lock sees the same particles (the status line's live count).
    std::atomic<uint32_t> steps_taken{0};
    std::atomic<bool> initialised{false};   // stepped once: octree, index and grid exist
    // Since the viewport last drew the frame, only live stroke steps changed it, so only the
    // particles in the emitter's selection look different. Written with the eat lock held.
    std::atomic<bool> brushed_only{false};

    // The frame's locks, each held through a std::unique_lock that the caller keeps for as long
    // as it needs; `how` is what std::unique_lock takes besides the mutex (std::try_to_lock,
    // std::defer_lock, a timeout).
    // Every change of the particles holds the eat lock, and so does a reader that must see them
    // whole: the worker processing the frame, a stroke step, the drawing of its picture.
    std::unique_lock<mutex> hold_particles() const { return std::unique_lock<mutex>(eat_lock_); }
    template <class How>
    std::unique_lock<mutex> hold_particles(How how) const {
        return std::unique_lock<mutex>(eat_lock_, how);
    }
    // A step holds the bounds lock while it changes the tree and its node bounds (boxes), so
    // that picking on the GUI thread, which holds it too, reads them whole.
    std::unique_lock<mutex> hold_bounds() const { return std::unique_lock<mutex>(bounds_lock_); }
    template <class How>
    std::unique_lock<mutex> hold_bounds(How how) const {
        return std::unique_lock<mutex>(bounds_lock_, how);
    }

    // The rest is changed only by the one thread that steps or deforms the frame (the frame's
    // eat lock or the live stroke path keep those apart), or by jobs it runs and waits for.
    particle_map particles;
    // Records of the cache file the frame was read from, -1 for a generated frame: set by the
    // reading, before the frame's first step.
    int32_t source_records = -1;
    // FNV-1a hash of the ids of those records in file order: with the count, how a stroke log
    // tells the cache it was recorded on. Set with source_records.
    uint64_t source_ids = 0;
    // The octree, the level index over its leaves, the grid fields and the debug overlay's
    // boxes; each keeps its own state. A reader on another thread holds the bounds lock for the
    // tree's node bounds, the grid's field lock for the grid; the debug boxes guard themselves.
    frame_tree tree;
    level_index levels;
    cell_grid grid;
    debug_geometry debug;

    // Marks p moved by an edit, so that the next step re-homes it.
    void mark_moved(particle& p) {
        p.moved = true;
        moved_.push_back(&p);
    }
    // Lists the particles an edit deformed; those it marked moved are re-homed by the next step.
    void list_deformed(const std::vector<particle*>& deformed) {
        moved_.insert(moved_.end(), deformed.begin(), deformed.end());
    }
    // The particles listed since the last step (a particle may appear twice); a step takes them.
    const std::vector<particle*>& moved() const { return moved_; }
    std::vector<particle*> take_moved() { return std::exchange(moved_, {}); }

  private:
    // Changed only by the thread that edits or steps the frame, as the particles are.
    std::vector<particle*> moved_;
    mutable mutex eat_lock_;
    mutable mutex bounds_lock_;  // guards boxes and the tree while a step changes them
};

// Worker threads for the frame's parallel passes: its host's setting, at least 1.
int worker_count(const frame_set& fs);
// A parallel pass over fs named `name`: its failures reach the window of fs's scene.
job_site frame_job(const frame_set& fs, const char* name);

// The 27 neighbour offsets of a grid cell, the zero offset included.
const std::array<vec3, 27>& stencil();

}  // namespace kavrin
