#include "view/particle_picture.h"

#include <algorithm>
#include <cstring>

#include <GL/gl.h>

#include <QOpenGLContext>
#include <QOpenGLExtraFunctions>

#include "dynamics/frame_set.h"

namespace kavrin {

namespace {

constexpr size_t floats_per_slot = 6;
constexpr size_t sample_size = 60000;

QOpenGLExtraFunctions& gl_functions() {
    return *QOpenGLContext::currentContext()->extraFunctions();
}

void write_vertex(float* out, const particle& p, const selection_look& sel) {
    const vec3 c = particle_colour(p, false, sel);
    std::memcpy(out, p.position.v, 3 * sizeof(float));
    std::memcpy(out + 3, c.v, 3 * sizeof(float));
}

// Only live particles are drawn; removed ones keep their slot.
bool drawn(const particle& p) {
    return std::clamp(p.weight, 0.0f, 1.0f) != 0.0f;
}

}  // namespace

int sample_step_for(size_t live_count) {
    if (live_count <= moving_limit) return 1;
    return int((live_count + sample_size - 1) / sample_size);
}

bool in_sample(int32_t id, int step) {
    if (step <= 1) return true;
    // A full-avalanche mix of the id: neighbouring ids land far apart, so a sample of a frame
    // whose ids follow its space is spread over all of it.
    uint32_t h = uint32_t(id);
    h ^= h >> 16;
    h *= 0x7feb352du;
    h ^= h >> 15;
    h *= 0x846ca68bu;
    h ^= h >> 16;
    return h % uint32_t(step) == 0;
}

picture_data make_picture_data(const frame_set& fs, const selection_look& sel) {
    picture_data d;
    const size_t n = fs.particles.size();
    d.vertices.resize(n * floats_per_slot);
    d.positions.reserve(n);
    d.slots.reserve(n);
    d.flags.assign(n, 0);
    d.live.reserve(n);
    point_box box;
    uint32_t slot = 0;
    for (const auto& [id, p] : fs.particles) {
        write_vertex(&d.vertices[slot * floats_per_slot], p, sel);
        d.positions.push_back(p.position);
        d.slots.emplace_back(id, slot);
        if (drawn(p)) {
            d.flags[slot] = picture_data::live_flag;
            d.live.push_back(slot);
            box.add(p.position);
        }
        if (p.selected) d.selected_ids.push_back(id);
        ++slot;
    }
    d.sample_step = sample_step_for(d.live.size());
    for (uint32_t s = 0; s < n; ++s)
        if (in_sample(d.slots[s].first, d.sample_step)) d.flags[s] |= picture_data::sample_flag;
    for (const uint32_t s : d.live)
        if (d.flags[s] & picture_data::sample_flag) d.sample.push_back(s);
    std::sort(d.slots.begin(), d.slots.end());
    d.has_centre = box.min[0] <= box.max[0];
    if (d.has_centre) d.centre = (box.min + box.max) * 0.5f;
    return d;
}

void particle_picture::upload(picture_data&& data) {
    QOpenGLExtraFunctions& gl = gl_functions();
    if (vertex_buffer_ == 0) {
        GLuint ids[4];
        gl.glGenBuffers(4, ids);
        vertex_buffer_ = ids[0];
        live_buffer_ = ids[1];
        sample_buffer_ = ids[2];
        part_buffer_ = ids[3];
    }
    gl.glBindBuffer(GL_ARRAY_BUFFER, vertex_buffer_);
    gl.glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(data.vertices.size() * sizeof(float)),
                    data.vertices.data(), GL_DYNAMIC_DRAW);
    gl.glBindBuffer(GL_ARRAY_BUFFER, 0);
    slot_count_ = data.flags.size();
    sample_step_ = data.sample_step;
    upload_indices(data.live, data.sample);
    positions_ = std::make_shared<std::vector<vec3>>(std::move(data.positions));
    live_ = std::make_shared<const std::vector<uint32_t>>(std::move(data.live));
    part_count_ = 0;
    slots_ = std::move(data.slots);
    flags_ = std::move(data.flags);
    selected_ids_ = std::move(data.selected_ids);
    data = picture_data();
}

void particle_picture::upload_indices(const std::vector<uint32_t>& live,
                                      const std::vector<uint32_t>& sample) {
    QOpenGLExtraFunctions& gl = gl_functions();
    gl.glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, live_buffer_);
    gl.glBufferData(GL_ELEMENT_ARRAY_BUFFER, GLsizeiptr(live.size() * sizeof(uint32_t)),
                    live.data(), GL_DYNAMIC_DRAW);
    gl.glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, sample_buffer_);
    gl.glBufferData(GL_ELEMENT_ARRAY_BUFFER, GLsizeiptr(sample.size() * sizeof(uint32_t)),
                    sample.data(), GL_DYNAMIC_DRAW);
    gl.glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
    live_count_ = live.size();
    sample_count_ = sample.size();
}

picture_change particle_picture::update(const frame_set& fs,
                                        const std::vector<particle*>& selection,
                                        const selection_look& sel) {
    picture_change change;
    if (vertex_buffer_ == 0) return change;
    std::vector<int32_t> ids = std::move(selected_ids_);
    selected_ids_.clear();
    for (const particle* p : selection)
        ids.push_back(p->id);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());

    // Each changed slot, its particle, and whether the slot was drawn before this update.
    struct changed_slot {
        uint32_t slot;
        const particle* p;
        bool was_live;
        bool operator<(const changed_slot& o) const { return slot < o.slot; }
    };
    std::vector<changed_slot> changed;
    changed.reserve(ids.size());
    bool liveness = false;
    for (const int32_t id : ids) {
        auto it = fs.particles.find(id);
        auto at = std::lower_bound(slots_.begin(), slots_.end(), std::make_pair(id, uint32_t(0)));
        if (it == fs.particles.end() || at == slots_.end() || at->first != id) continue;
        const particle& p = it->second;
        const uint32_t slot = at->second;
        changed.push_back({slot, &p, bool(flags_[slot] & picture_data::live_flag)});
        if (p.selected) selected_ids_.push_back(id);
        const bool live = drawn(p);
        if (live != bool(flags_[slot] & picture_data::live_flag)) {
            liveness = true;
            flags_[slot] ^= picture_data::live_flag;
        }
    }
    if (changed.empty()) return change;
    std::sort(changed.begin(), changed.end());
    change.places.reserve(2 * changed.size());
    if (positions_.use_count() > 1) positions_ = std::make_shared<std::vector<vec3>>(*positions_);
    for (const auto& [slot, p, was_live] : changed) {
        if (drawn(*p)) change.places.push_back(p->position);
        (*positions_)[slot] = p->position;
    }

    // Only the span of the changed slots is mapped; what lies between keeps its content.
    QOpenGLExtraFunctions& gl = gl_functions();
    const size_t first = changed.front().slot, last = changed.back().slot;
    const size_t stride = floats_per_slot * sizeof(float);
    gl.glBindBuffer(GL_ARRAY_BUFFER, vertex_buffer_);
    // Read as well: the old positions are where the particles were drawn.
    void* mapped = gl.glMapBufferRange(GL_ARRAY_BUFFER, GLintptr(first * stride),
                                       GLsizeiptr((last - first + 1) * stride),
                                       GL_MAP_READ_BIT | GL_MAP_WRITE_BIT);
    if (mapped) {
        float* span = static_cast<float*>(mapped);
        for (const auto& [slot, p, was_live] : changed) {
            float* vertex = span + (slot - first) * floats_per_slot;
            if (was_live) change.places.emplace_back(vertex[0], vertex[1], vertex[2]);
            write_vertex(vertex, *p, sel);
        }
        gl.glUnmapBuffer(GL_ARRAY_BUFFER);
    } else {
        change.known = false;
        float vertex[floats_per_slot];
        for (const auto& [slot, p, was_live] : changed) {
            write_vertex(vertex, *p, sel);
            gl.glBufferSubData(GL_ARRAY_BUFFER, GLintptr(slot * stride), GLsizeiptr(stride),
                               vertex);
        }
    }
    gl.glBindBuffer(GL_ARRAY_BUFFER, 0);

    if (!liveness) return change;
    std::vector<uint32_t> live, sample;
    live.reserve(live_count_ + changed.size());
    for (uint32_t s = 0; s < slot_count_; ++s) {
        if (!(flags_[s] & picture_data::live_flag)) continue;
        live.push_back(s);
        if (flags_[s] & picture_data::sample_flag) sample.push_back(s);
    }
    upload_indices(live, sample);
    live_ = std::make_shared<const std::vector<uint32_t>>(std::move(live));
    return change;
}

void particle_picture::draw(bool sample) const {
    draw_indices(sample ? sample_buffer_ : live_buffer_, 0, sample ? sample_count_ : live_count_);
}

void particle_picture::set_part(const std::vector<uint32_t>& slots) {
    if (vertex_buffer_ == 0) return;
    QOpenGLExtraFunctions& gl = gl_functions();
    gl.glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, part_buffer_);
    gl.glBufferData(GL_ELEMENT_ARRAY_BUFFER, GLsizeiptr(slots.size() * sizeof(uint32_t)),
                    slots.data(), GL_DYNAMIC_DRAW);
    gl.glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
    part_count_ = slots.size();
}

void particle_picture::draw_part(size_t first, size_t count) const {
    if (first >= part_count_) return;
    draw_indices(part_buffer_, first, std::min(count, part_count_ - first));
}

void particle_picture::draw_indices(unsigned index_buffer, size_t first, size_t count) const {
    if (vertex_buffer_ == 0 || count == 0) return;
    QOpenGLExtraFunctions& gl = gl_functions();
    const GLsizei stride = GLsizei(floats_per_slot * sizeof(float));
    gl.glBindBuffer(GL_ARRAY_BUFFER, vertex_buffer_);
    gl.glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, index_buffer);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    glVertexPointer(3, GL_FLOAT, stride, nullptr);
    glColorPointer(3, GL_FLOAT, stride, reinterpret_cast<const void*>(3 * sizeof(float)));
    glDrawElements(GL_POINTS, GLsizei(count), GL_UNSIGNED_INT,
                   reinterpret_cast<const void*>(first * sizeof(uint32_t)));
    glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
    gl.glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
    gl.glBindBuffer(GL_ARRAY_BUFFER, 0);
}

void particle_picture::release() {
    if (vertex_buffer_ != 0) {
        const GLuint ids[4] = {vertex_buffer_, live_buffer_, sample_buffer_, part_buffer_};
        gl_functions().glDeleteBuffers(4, ids);
    }
    vertex_buffer_ = live_buffer_ = sample_buffer_ = part_buffer_ = 0;
    slot_count_ = live_count_ = sample_count_ = part_count_ = 0;
    positions_.reset();
    live_.reset();
    slots_.clear();
    flags_.clear();
    selected_ids_.clear();
}

}  // namespace kavrin
