#pragma once
// A frame's particles as the viewport draws them as points: one vertex buffer holding each
// particle's position and colour in the frame's map order, an index buffer of the live ones in
// that order (the whole picture), and one of a fixed sample of them for repaints while the view
// moves. The data is made from a frame without GL, so a worker can make it; the GUI thread
// uploads it, and a stroke step rewrites in place only the particles whose look it changed.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "base/vec3.h"
#include "view/occlusion.h"
#include "view/particle_look.h"

namespace kavrin {

class frame_set;
struct particle;

// Frames with more live particles than this draw a sample while the view moves.
constexpr size_t moving_limit = 150000;

// One in how many live particles the moving view draws: 1 up to moving_limit, then enough to
// keep about sixty thousand.
int sample_step_for(size_t live_count);

// Whether a particle belongs to the 1-in-step sample: by a hash of its id, so the same
// particles are drawn at every repaint and whichever frame shows them.
bool in_sample(int32_t id, int step);

// The picture's data, made without GL from a frame held still.
struct picture_data {
    std::vector<float> vertices;  // x, y, z, r, g, b per particle, in map order
    std::vector<vec3> positions;  // per slot, as in vertices
    std::vector<uint32_t> live;   // slots of the live particles, in map order
    std::vector<uint32_t> sample;
    // (id, slot) of every particle, sorted by id, to find a brushed particle's slot.
    std::vector<std::pair<int32_t, uint32_t>> slots;
    std::vector<uint8_t> flags;         // per slot: live_flag, sample_flag
    std::vector<int32_t> selected_ids;  // particles coloured as selected
    int sample_step = 1;
    bool has_centre = false;
    vec3 centre;  // middle of the live particles' bounds

    static constexpr uint8_t live_flag = 1, sample_flag = 2;
};

// The data of fs's particles as they are now, coloured with sel. Call with the frame held still.
picture_data make_picture_data(const frame_set& fs, const selection_look& sel);

// Where the particles an in-place update rewrote were drawn before it and are drawn after it:
// a painting of the old picture becomes one of the new by painting again around these places.
// `known` is false when the old places could not be read back: all of it must be painted again.
struct picture_change {
    std::vector<vec3> places;
    bool known = true;
};

// Pictures made on workers, waiting for the GUI thread to upload them.
struct picture_inbox {
    struct result;
    // The part of a picture that can show in a view: the view's key and the picture's version
    // it was found for.
    struct visible_result {
        std::vector<double> view;
        unsigned version = 0;
        std::vector<uint32_t> slots;
    };
    // A worker puts its result, the GUI thread takes it.
    mutex lock;
    std::map<int, result> ready KAVRIN_GUARDED_BY(lock);  // by frame number
    std::optional<visible_result> visible KAVRIN_GUARDED_BY(lock);
};

// A picture a worker made, and the part of it that can show in the view it was asked for.
struct picture_inbox::result {
    unsigned round = 0;  // the viewport's scene round it was asked in
    bool made = false;   // false: the frame was busy or changing, and is asked again
    picture_data data;
    visible_result part;
};

// A picture's positions and live slots as they are at one moment, for a worker to read: the
// picture never changes them in place while such a copy is held.
struct picture_positions {
    std::shared_ptr<const std::vector<vec3>> positions;
    std::shared_ptr<const std::vector<uint32_t>> live;
};

// The picture in GL buffers. Every member wants the viewport's context current.
class particle_picture {
  public:
    particle_picture() = default;
    particle_picture(const particle_picture&) = delete;
    particle_picture& operator=(const particle_picture&) = delete;
    ~particle_picture() = default;  // release() frees the buffers: the context must be current

    // Replaces the picture with data; the colours go to the buffer and leave memory.
    void upload(picture_data&& data);
    // Rewrites the particles whose look a stroke step may have changed: those drawn as selected
    // and those now in `selection` (the frame held still). Liveness changes renew the indices.
    picture_change update(const frame_set& fs, const std::vector<particle*>& selection,
                          const selection_look& sel);
    // Draws the whole picture, or the sample; with the current colour, size and GL state.
    void draw(bool sample) const;
    // What visible_slots needs to find the part of the picture that can show.
    picture_positions visible_inputs() const { return {positions_, live_}; }
    // Keeps slots, a part of the whole picture's order, to draw with draw_part.
    void set_part(const std::vector<uint32_t>& slots);
    // Draws count of the kept part's particles from the first-th on.
    void draw_part(size_t first, size_t count) const;
    size_t part_count() const { return part_count_; }
    void release();

    bool empty() const { return vertex_buffer_ == 0; }
    size_t live_count() const { return live_count_; }
    int sample_step() const { return sample_step_; }

  private:
    void draw_indices(unsigned index_buffer, size_t first, size_t count) const;
    void upload_indices(const std::vector<uint32_t>& live, const std::vector<uint32_t>& sample);

    unsigned vertex_buffer_ = 0, live_buffer_ = 0, sample_buffer_ = 0, part_buffer_ = 0;
    size_t slot_count_ = 0, live_count_ = 0, sample_count_ = 0, part_count_ = 0;
    // What the buffers hold, kept for finding the visible part: each slot's position and the
    // live slots in order.
    // Shared with workers' searches; a change to positions held by one copies them first.
    std::shared_ptr<std::vector<vec3>> positions_;
    std::shared_ptr<const std::vector<uint32_t>> live_;
    int sample_step_ = 1;
    std::vector<std::pair<int32_t, uint32_t>> slots_;
    std::vector<uint8_t> flags_;
    std::vector<int32_t> selected_ids_;
};

}  // namespace kavrin
