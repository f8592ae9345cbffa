#include "exchange/bin_file.h"

#include "exchange/file_beside.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include <QFile>

#include "scene/stroke_log.h"

namespace kavrin {

namespace {

static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "cache files are little-endian");

// Records read or assembled at a time: a few hundred kilobytes, whatever the frame's size.
constexpr int chunk_records = 8192;

template <class T>
T get(const char* bytes, int offset) {
    T value;
    std::memcpy(&value, bytes + offset, sizeof value);  // packed: fields sit unaligned
    return value;
}

template <class T>
void put(char* bytes, int offset, const T& value) {
    std::memcpy(bytes + offset, &value, sizeof value);
}

vec3 get_vec3(const char* bytes, int offset) {
    if (offset < 0) return vec3();
    return vec3(get<float>(bytes, offset), get<float>(bytes, offset + 4),
                get<float>(bytes, offset + 8));
}

void put_vec3(char* bytes, int offset, const vec3& v) {
    for (int i = 0; i < 3; ++i)
        put(bytes, offset + 4 * i, v[i]);
}

bin_stats get_stats(const char* bytes, int offset) {
    return {get<float>(bytes, offset), get<float>(bytes, offset + 4),
            get<float>(bytes, offset + 8)};
}

void put_stats(char* bytes, int offset, const bin_stats& s) {
    put(bytes, offset, s.max);
    put(bytes, offset + 4, s.min);
    put(bytes, offset + 8, s.ave);
}

[[noreturn]] void refuse(const QString& path, const QString& check) {
    throw bin_error(path, check);
}

int32_t record_id(const char* record, const bin_record_layout& layout) {
    if (!layout.wide_id) return get<int32_t>(record, layout.id);
    return int32_t(get<uint64_t>(record, layout.id));  // range checked when the file was read
}

// The field that carries a particle's scale under a fluid type, or -1 when the type names none.
int scale_offset(int32_t fluid_type, const bin_record_layout& layout) {
    if (fluid_type == fluid_type_mass) return layout.mass;
    if (fluid_type == fluid_type_pressure) return layout.pressure;
    return -1;
}

// Where a channel sits in a record of a layout; -1 where the layout lacks it.
int channel_offset(const cache_channel& c, const bin_record_layout& l) {
    const std::string name = c.bin;
    if (name == "velocity") return l.velocity;
    if (name == "force") return l.force;
    if (name == "vorticity") return l.vorticity;
    if (name == "normal_vector") return l.normal;
    if (name == "neighbors") return l.neighbors;
    if (name == "texture_vector") return l.texture;
    if (name == "info_bits") return l.info_bits;
    if (name == "elapsed_particle_time") return l.elapsed;
    if (name == "isolation_time") return l.isolation;
    if (name == "viscosity") return l.viscosity;
    if (name == "density") return l.density;
    if (name == "pressure") return l.pressure;
    if (name == "mass") return l.mass;
    if (name == "temperature") return l.temperature;
    return -1;
}

void get_channel(const char* record, int at, const cache_channel& c, double* out) {
    if (c.narrow)
        out[0] = get<int16_t>(record, at);
    else if (c.integral)
        out[0] = get<int32_t>(record, at);
    else
        for (int k = 0; k < c.components; ++k)
            out[k] = get<float>(record, at + 4 * k);
}

void put_channel(char* record, int at, const cache_channel& c, const double* in) {
    if (c.narrow)
        put(record, at, int16_t(in[0]));
    else if (c.integral)
        put(record, at, int32_t(in[0]));
    else
        for (int k = 0; k < c.components; ++k)
            put(record, at + 4 * k, float(in[k]));
}

// A cache file opened for reading, its header checked against the file's size.
struct checked_file {
    QFile file;
    bin_header header;
    const bin_record_layout* layout = nullptr;

    explicit checked_file(const QString& path) : file(path) {
        if (!file.open(QIODevice::ReadOnly))
            refuse(path, "cannot be opened: " + file.errorString());
        char head[bin_header_size];
        const qint64 got = file.read(head, bin_header_size);
        if (got != bin_header_size)
            refuse(path, QString("truncated: %1 header bytes needed, %2 found")
                             .arg(bin_header_size)
                             .arg(std::max<qint64>(got, 0)));
        decode_bin_header(head, header);
        if (header.code != bin_code)
            refuse(path,
                   "bad verification code 0x" +
                       QString::number(uint32_t(header.code), 16).rightJustified(8, '0').toUpper() +
                       ", 0x00FABADA expected");
        layout = bin_layout(header.version);
        if (!layout)
            refuse(
                path,
                QString("unsupported version %1 (versions 7 to 13 are read)").arg(header.version));
        if (header.particles < 0)
            refuse(path, QString("negative particle count %1").arg(header.particles));
        const qint64 needed = bin_header_size + qint64(header.particles) * layout->size;
        if (file.size() < needed)
            refuse(path, QString("truncated: %1 + %2 x %3 bytes needed, %4 found")
                             .arg(bin_header_size)
                             .arg(header.particles)
                             .arg(layout->size)
                             .arg(file.size()));
    }

    // Reads the records from `done` on, up to a chunk, into buffer; returns how many.
    int read_chunk(int done, std::vector<char>& buffer, const QString& path) {
        const int n = std::min(chunk_records, header.particles - done);
        const qint64 bytes = qint64(n) * layout->size;
        buffer.resize(size_t(bytes));
        if (file.read(buffer.data(), bytes) != bytes)
            refuse(path, "truncated while reading: " + file.errorString());
        return n;
    }
};

// Statistics of the records as they are written.
class stats_sum {
  public:
    void add(const char* record, const bin_record_layout& l) {
        const vec3 v = get_vec3(record, l.velocity);
        const float speed =
            float(std::sqrt(double(v[0]) * v[0] + double(v[1]) * v[1] + double(v[2]) * v[2]));
        pressure_.add(get<float>(record, l.pressure));
        speed_.add(speed);
        temperature_.add(get<float>(record, l.temperature));
    }
    void into(bin_header& h) const {
        h.pressure = pressure_.stats();
        h.speed = speed_.stats();
        h.temperature = temperature_.stats();
    }

  private:
    struct one {
        double sum = 0.0;
        float max = -std::numeric_limits<float>::infinity();
        float min = std::numeric_limits<float>::infinity();
        long long count = 0;
        void add(float v) {
            sum += v;
            max = std::max(max, v);
            min = std::min(min, v);
            ++count;
        }
        bin_stats stats() const {
            if (count == 0) return {};
            return {max, min, float(sum / double(count))};
        }
    };
    one pressure_, speed_, temperature_;
};

// Records on their way out, in the file's order, a chunk at a time: the file being written or
// a buffer. The header follows the records handed over.
using record_sink = std::function<void(const char* records, int count)>;

}  // namespace

vec3 in_scene_order(const vec3& v, position_order order) {
    return order == position_order::file ? v : vec3(v[2], v[1], v[0]);
}

void refuse_beyond_limit(const QString& path, const frame_set& fs, const QString& which,
                         const vec3& position) {
    refuse(path, QString("frame %1, %2: the position (%3, %4, %5) lies beyond ±%6, the largest "
                         "coordinate a scene can hold")
                     .arg(fs.frame)
                     .arg(which)
                     .arg(double(position[0]), 0, 'g', 9)
                     .arg(double(position[1]), 0, 'g', 9)
                     .arg(double(position[2]), 0, 'g', 9)
                     .arg(double(position_limit), 0, 'g', 6));
}

void check_finite(const particle& p, const frame_set& fs) {
    if (std::isfinite(p.position[0]) && std::isfinite(p.position[1]) &&
        std::isfinite(p.position[2]) && std::isfinite(p.scale))
        return;
    throw bin_error("frame " + std::to_string(fs.frame) + ": particle " + std::to_string(p.id) +
                    " has a position or scale that is not finite; the frame is not saved");
}

const particle* source_match::take(int32_t id, int32_t record) {
    const auto it = fs_.particles.find(id);
    if (it == fs_.particles.end() || it->second.record > record)
        refuse(source_, QString("changed since it was read: record %1").arg(record));
    const particle& p = it->second;
    if (p.record != record) return nullptr;  // a later record of an id already read
    ++matched_;
    if (!p.live()) return nullptr;
    check_finite(p, fs_);
    return &p;
}

void source_match::finish() const {
    if (matched_ != fs_.particles.size())
        refuse(source_, QString("changed since it was read: %1 of %2 particles found")
                            .arg(matched_)
                            .arg(fs_.particles.size()));
}

std::vector<const particle*> live_by_id(const frame_set& fs) {
    std::vector<const particle*> live;
    for (const auto& [id, p] : fs.particles)
        if (p.live()) {
            check_finite(p, fs);
            live.push_back(&p);
        }
    std::sort(live.begin(), live.end(),
              [](const particle* a, const particle* b) { return a->id < b->id; });
    return live;
}

namespace {

bin_header assemble_generated(const frame_set& fs, position_order order,
                              const source_channels* carried, const record_sink& sink) {
    const bin_record_layout& layout = *bin_layout(bin_generated_version);
    // The channels a file of another format brought, but for the field that holds the scale.
    std::vector<std::pair<const channel_values*, int>> fields;
    if (carried)
        for (const channel_values& c : carried->present)
            if (const int at = channel_offset(*c.channel, layout); at >= 0 && at != layout.pressure)
                fields.emplace_back(&c, at);
    double value[3];
    std::vector<char> chunk;
    int in_chunk = 0;
    int32_t live = 0;
    auto hand_over = [&] {
        sink(chunk.data(), in_chunk);
        in_chunk = 0;
    };
    chunk.resize(size_t(chunk_records) * size_t(layout.size));
    for (const auto& [id, p] : fs.particles) {
        if (!p.live()) continue;
        char* record = chunk.data() + size_t(in_chunk) * size_t(layout.size);
        std::memset(record, 0, size_t(layout.size));
        check_finite(p, fs);
        put_vec3(record, 0, in_scene_order(p.position, order));
        put(record, layout.pressure, p.scale);
        put(record, layout.id, id);
        for (const auto& [c, at] : fields) {
            carried->values_of(*c, p, value);
            put_channel(record, at, *c->channel, value);
        }
        ++live;
        if (++in_chunk == chunk_records) hand_over();
    }
    if (in_chunk > 0) hand_over();
    bin_header header;
    header.particles = live;
    return header;
}

bin_header assemble_passed_through(const frame_set& fs, checked_file& in, const QString& source,
                                   position_order order, const record_sink& sink) {
    if (in.header.particles != fs.source_records)
        refuse(source, QString("changed since it was read: %1 records, %2 expected")
                           .arg(in.header.particles)
                           .arg(fs.source_records));
    const bin_record_layout& layout = *in.layout;
    const int value_at = scale_offset(in.header.fluid_type, layout);
    stats_sum stats;
    source_match match(fs, source);
    int32_t written = 0;
    std::vector<char> chunk;
    for (int done = 0; done < in.header.particles;) {
        const int n = in.read_chunk(done, chunk, source);
        // Kept records move to the front of the chunk as they are patched.
        int kept = 0;
        for (int r = 0; r < n; ++r) {
            char* record = chunk.data() + size_t(r) * size_t(layout.size);
            const particle* p = match.take(record_id(record, layout), done + r);
            if (!p) continue;
            put_vec3(record, 0, in_scene_order(p->position, order));
            if (value_at >= 0) put(record, value_at, p->scale);
            stats.add(record, layout);
            char* to = chunk.data() + size_t(kept) * size_t(layout.size);
            if (to != record) std::memmove(to, record, size_t(layout.size));
            ++kept;
        }
        if (kept > 0) sink(chunk.data(), kept);
        written += kept;
        done += n;
    }
    match.finish();
    bin_header header = in.header;
    header.particles = written;
    stats.into(header);
    return header;
}

// Lays the frame's file out: its record layout, then its records handed to sink, then the
// header that goes with them.
bin_header assemble(const frame_set& fs, const QString& source, position_order order,
                    const source_channels* carried, const bin_record_layout*& layout,
                    const record_sink& sink) {
    if (fs.source_records < 0 || source.isEmpty()) {
        layout = bin_layout(bin_generated_version);
        return assemble_generated(fs, order, carried, sink);
    }
    checked_file in(source);
    layout = in.layout;
    return assemble_passed_through(fs, in, source, order, sink);
}

}  // namespace

void decode_bin_header(const char* bytes, bin_header& h) {
    h.code = get<int32_t>(bytes, 0);
    std::memcpy(h.name.data(), bytes + 4, h.name.size());
    h.version = get<int16_t>(bytes, 254);
    h.scale_scene = get<float>(bytes, 256);
    h.fluid_type = get<int32_t>(bytes, 260);
    h.elapsed_simulation_time = get<float>(bytes, 264);
    h.frame_number = get<int32_t>(bytes, 268);
    h.fps = get<int32_t>(bytes, 272);
    h.particles = get<int32_t>(bytes, 276);
    h.radius = get<float>(bytes, 280);
    h.pressure = get_stats(bytes, 284);
    h.speed = get_stats(bytes, 296);
    h.temperature = get_stats(bytes, 308);
    h.emitter_position = get_vec3(bytes, 320);
    h.emitter_rotation = get_vec3(bytes, 332);
    h.emitter_scale = get_vec3(bytes, 344);
}

void encode_bin_header(const bin_header& h, char* bytes) {
    put(bytes, 0, h.code);
    std::memcpy(bytes + 4, h.name.data(), h.name.size());
    put(bytes, 254, h.version);
    put(bytes, 256, h.scale_scene);
    put(bytes, 260, h.fluid_type);
    put(bytes, 264, h.elapsed_simulation_time);
    put(bytes, 268, h.frame_number);
    put(bytes, 272, h.fps);
    put(bytes, 276, h.particles);
    put(bytes, 280, h.radius);
    put_stats(bytes, 284, h.pressure);
    put_stats(bytes, 296, h.speed);
    put_stats(bytes, 308, h.temperature);
    put_vec3(bytes, 320, h.emitter_position);
    put_vec3(bytes, 332, h.emitter_rotation);
    put_vec3(bytes, 344, h.emitter_scale);
}

const bin_record_layout* bin_layout(int version) {
    // Position, velocity, force, [vorticity,] normal, neighbours, texture, info bits, elapsed
    // and isolation time, viscosity, density, pressure, mass, temperature, id.
    static const bin_record_layout old{98, 12, 24, -1, 36, 48, 52, 64,   66,
                                       70, 74, 78, 82, 86, 90, 94, false};
    static const bin_record_layout narrow{110, 12, 24, 36, 48, 60,  64,  76,   78,
                                          82,  86, 90, 94, 98, 102, 106, false};
    static bin_record_layout wide = [] {
        bin_record_layout l = narrow;
        l.size = 114;
        l.wide_id = true;
        return l;
    }();
    if (version == 7 || version == 8) return &old;
    if (version >= 9 && version <= 11) return &narrow;
    if (version == 12 || version == 13) return &wide;
    return nullptr;
}

bin_record decode_bin_record(const char* record, const bin_record_layout& l) {
    bin_record r;
    r.position = get_vec3(record, 0);
    r.velocity = get_vec3(record, l.velocity);
    r.force = get_vec3(record, l.force);
    r.vorticity = get_vec3(record, l.vorticity);
    r.normal = get_vec3(record, l.normal);
    r.neighbors = get<int32_t>(record, l.neighbors);
    r.texture = get_vec3(record, l.texture);
    r.info_bits = get<int16_t>(record, l.info_bits);
    r.elapsed = get<float>(record, l.elapsed);
    r.isolation = get<float>(record, l.isolation);
    r.viscosity = get<float>(record, l.viscosity);
    r.density = get<float>(record, l.density);
    r.pressure = get<float>(record, l.pressure);
    r.mass = get<float>(record, l.mass);
    r.temperature = get<float>(record, l.temperature);
    r.id = record_id(record, l);
    return r;
}

long long read_bin_frame(const QString& path, frame_set& fs, position_order order) {
    checked_file in(path);
    const bin_record_layout& layout = *in.layout;
    const int value_at = scale_offset(in.header.fluid_type, layout);
    // Read apart and joined at the end, so that a refused file leaves the frame as it was.
    particle_map read;
    read.reserve(size_t(in.header.particles));
    long long dropped = 0;
    uint64_t ids_hash = source_ids_start;
    std::vector<char> chunk;
    for (int done = 0; done < in.header.particles;) {
        const int n = in.read_chunk(done, chunk, path);
        for (int r = 0; r < n; ++r) {
            const char* record = chunk.data() + size_t(r) * size_t(layout.size);
            const int32_t index = done + r;
            if (layout.wide_id && get<uint64_t>(record, layout.id) > 2147483647u)
                refuse(path, QString("particle id %1 of record %2 does not fit in 32 bits")
                                 .arg(get<uint64_t>(record, layout.id))
                                 .arg(index));
            const int32_t id = record_id(record, layout);
            ids_hash = add_source_id(ids_hash, id);
            const vec3 position = get_vec3(record, 0);
            const float value = value_at >= 0 ? get<float>(record, value_at) : 1.0f;
            if (!std::isfinite(position[0]) || !std::isfinite(position[1]) ||
                !std::isfinite(position[2]))
                refuse(path, QString("record %1 (particle %2): the position is not finite")
                                 .arg(index)
                                 .arg(id));
            if (!within_position_limit(position))
                refuse_beyond_limit(path, fs, QString("record %1 (particle %2)").arg(index).arg(id),
                                    position);
            if (!std::isfinite(value))
                refuse(path, QString("record %1 (particle %2): the %3 is not finite")
                                 .arg(index)
                                 .arg(id)
                                 .arg(value_at == layout.mass ? "mass" : "pressure"));
            const auto [it, added] =
                read.try_emplace(id, id, in_scene_order(position, order), value);
            if (added)
                it->second.record = index;
            else
                ++dropped;
        }
        done += n;
    }
    return dropped + join_read_frame(fs, read, in.header.particles, ids_hash);
}

record_channels read_bin_channel(const QString& path, const QString& name) {
    checked_file in(path);
    const bin_record_layout& l = *in.layout;
    const int scale_at = scale_offset(in.header.fluid_type, l);
    struct field {
        const char* name;
        int offset;
        char kind;
        int item_size, width;
    };
    const field fields[] = {{"position", 0, 'f', 4, 3},
                            {"velocity", l.velocity, 'f', 4, 3},
                            {"force", l.force, 'f', 4, 3},
                            {"vorticity", l.vorticity, 'f', 4, 3},
                            {"normal_vector", l.normal, 'f', 4, 3},
                            {"neighbors", l.neighbors, 'i', 4, 1},
                            {"texture_vector", l.texture, 'f', 4, 3},
                            {"info_bits", l.info_bits, 'i', 2, 1},
                            {"elapsed_particle_time", l.elapsed, 'f', 4, 1},
                            {"isolation_time", l.isolation, 'f', 4, 1},
                            {"viscosity", l.viscosity, 'f', 4, 1},
                            {"density", l.density, 'f', 4, 1},
                            {"pressure", l.pressure, 'f', 4, 1},
                            {"mass", l.mass, 'f', 4, 1},
                            {"temperature", l.temperature, 'f', 4, 1},
                            {"id", l.id, l.wide_id ? 'u' : 'i', l.wide_id ? 8 : 4, 1}};
    record_channels out;
    const field* chosen = nullptr;
    for (const field& f : fields) {
        if (f.offset < 0) continue;
        out.names.push_back(f.name);
        if (name == f.name) chosen = &f;
    }
    if (!chosen) return out;
    record_channel c;
    c.name = chosen->name;
    c.kind = chosen->kind;
    c.item_size = chosen->item_size;
    c.width = chosen->width;
    if (chosen->offset == 0) c.role = channel_role::position;
    if (chosen->offset == scale_at) c.role = channel_role::scale;
    const int bytes = c.record_size();
    c.values.resize(qsizetype(in.header.particles) * bytes);
    out.ids.resize(size_t(in.header.particles));
    std::vector<char> chunk;
    for (int done = 0; done < in.header.particles;) {
        const int n = in.read_chunk(done, chunk, path);
        for (int r = 0; r < n; ++r) {
            const char* record = chunk.data() + size_t(r) * size_t(l.size);
            std::memcpy(c.values.data() + qsizetype(done + r) * bytes, record + chosen->offset,
                        size_t(bytes));
            out.ids[size_t(done + r)] = record_id(record, l);
        }
        done += n;
    }
    out.found = std::move(c);
    return out;
}

long long join_read_frame(frame_set& fs, particle_map& read, int32_t records, uint64_t ids) {
    if (fs.particles.empty()) {
        fs.particles.swap(read);
        fs.source_records = records;
        fs.source_ids = ids;
        return 0;
    }
    // Particles the frame held already win; the frame no longer is the file's alone, so a save
    // writes it as a generated frame.
    long long dropped = 0;
    for (auto& [id, p] : read) {
        p.record = -1;
        if (!fs.particles.try_emplace(id, p).second) ++dropped;
    }
    return dropped;
}

bin_frame_bytes assemble_bin_frame(const frame_set& fs, const QString& source,
                                   position_order order) {
    bin_frame_bytes out;
    out.header =
        assemble(fs, source, order, nullptr, out.layout, [&out](const char* records, int count) {
            out.records.append(records, qsizetype(count) * out.layout->size);
        });
    return out;
}

void write_bin_frame(const QString& path, const frame_set& fs, const QString& source,
                     position_order order, const source_channels* carried) {
    file_beside out(path);
    char head[bin_header_size] = {};
    out.write(head, bin_header_size);  // in place once the records are counted
    const bin_record_layout* layout = nullptr;
    const bin_header header = assemble(fs, source, order, carried, layout,
                                       [&out, &layout](const char* records, int count) {
                                           out.write(records, size_t(count) * size_t(layout->size));
                                       });
    static constexpr char footer[bin_footer_size] = {};
    out.write(footer, bin_footer_size);
    encode_bin_header(header, head);
    out.write_at_start(head, bin_header_size);
    out.finish();
}

source_channels bin_channels(const QString& path, const frame_set& fs) {
    checked_file in(path);
    if (in.header.particles != fs.source_records)
        refuse(path, QString("changed since it was read: %1 records, %2 expected")
                         .arg(in.header.particles)
                         .arg(fs.source_records));
    const bin_record_layout& layout = *in.layout;
    const int scale_at = scale_offset(in.header.fluid_type, layout);
    source_channels out;
    out.records = in.header.particles;
    std::vector<std::pair<size_t, int>> fields;  // channel present, its offset
    for (const cache_channel& c : cache_channels())
        if (const int at = channel_offset(c, layout); at >= 0 && at != scale_at) {
            fields.emplace_back(out.present.size(), at);
            out.add(c);
        }
    source_match match(fs, path);
    std::vector<char> chunk;
    for (int done = 0; done < in.header.particles;) {
        const int n = in.read_chunk(done, chunk, path);
        for (int r = 0; r < n; ++r) {
            const char* record = chunk.data() + size_t(r) * size_t(layout.size);
            if (!match.take(record_id(record, layout), done + r)) continue;
            for (const auto& [k, at] : fields) {
                channel_values& c = out.present[k];
                get_channel(record, at, *c.channel,
                            c.values.data() + size_t(done + r) * size_t(c.channel->components));
            }
        }
        done += n;
    }
    match.finish();
    return out;
}

}  // namespace kavrin
