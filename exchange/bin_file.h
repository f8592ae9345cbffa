#pragma once
// The binary particle cache file (".bin"): a 356-byte header, fixed-size records laid out by the
// file's version (7 to 13) and a short footer, little-endian and packed. Reading and writing
// both live here; nothing else in the program spells out an offset.

#include <array>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include <QString>

#include "dynamics/frame_set.h"
#include "base/vec3.h"
#include "exchange/cache_channels.h"
#include "dynamics/frame_set.h"
#include "base/vec3.h"
#include "exchange/record_channel.h"

namespace kavrin {

constexpr int32_t bin_code = 0x00FABADA;  // verification code that opens every file
constexpr int bin_header_size = 356;
constexpr int bin_footer_size = 6;            // int32 0 (no extra data channels), two bytes 0
constexpr int16_t bin_generated_version = 9;  // the version a generated scene is written in
constexpr int32_t bin_generated_fps = 30;
constexpr int32_t fluid_type_mass = -2147483647;      // 0x80000001: the value travels in "mass"
constexpr int32_t fluid_type_pressure = -2147483646;  // 0x80000002: ... in "pressure"

// The order of a position's components in the file. Scenes hold them as the file does; stroke
// logs of version 1 were recorded in scenes that held them reversed, and their replays read and
// write files that way so that they give the bytes they always gave.
enum class position_order { file, reversed };

struct bin_stats {
    float max = 0.0f, min = 0.0f, ave = 0.0f;
};

struct bin_header {
    int32_t code = bin_code;
    std::array<char, 250> name{};  // UTF-8 up to the first NUL; every byte kept as read
    int16_t version = bin_generated_version;
    float scale_scene = 0.0f;
    int32_t fluid_type = fluid_type_pressure;
    float elapsed_simulation_time = 0.0f;
    int32_t frame_number = 0;
    int32_t fps = bin_generated_fps;
    int32_t particles = 0;
    float radius = 0.0f;
    bin_stats pressure, speed, temperature;
    vec3 emitter_position, emitter_rotation, emitter_scale;
};

void decode_bin_header(const char* bytes, bin_header& out);
void encode_bin_header(const bin_header& header, char* bytes);

// Where each field sits in a record of one version; -1 for a field the version lacks.
struct bin_record_layout {
    int size;
    int velocity, force, vorticity, normal, neighbors, texture, info_bits, elapsed, isolation,
        viscosity, density, pressure, mass, temperature, id;
    bool wide_id;  // an unsigned 64-bit id, refused beyond int32
};

// The record layout of a version, or null for a version that is not read.
const bin_record_layout* bin_layout(int version);

// Every field of one record (a field the version lacks reads as zero).
struct bin_record {
    vec3 position, velocity, force, vorticity, normal;
    int32_t neighbors = 0;
    vec3 texture;
    int16_t info_bits = 0;
    float elapsed = 0, isolation = 0, viscosity = 0, density = 0, pressure = 0, mass = 0,
          temperature = 0;
    int32_t id = 0;
};
bin_record decode_bin_record(const char* record, const bin_record_layout& layout);

// Positions are stored x, y, z; a scene of reversed order holds them z, y, x. Its own inverse.
vec3 in_scene_order(const vec3& v, position_order order);

// A file that cannot be read or written; the message names the file and the check.
class bin_error : public std::runtime_error {
  public:
    // A failure of no one file, such as a particle a frame cannot be written with.
    explicit bin_error(const std::string& message) : std::runtime_error(message) {}
    // "cache file <file>: <check>".
    bin_error(const QString& file, const QString& check)
        : std::runtime_error(("cache file " + file + ": " + check).toStdString()), file(file) {}
    const QString file;  // the file refused; empty for a failure of no one file
};

// Refuses a position the scene cannot hold (beyond position_limit), for the readers of every
// format: bin_error naming the file, the frame, the record (as `which` says it) and the bound.
[[noreturn]] void refuse_beyond_limit(const QString& path, const frame_set& fs,
                                      const QString& which, const vec3& position);

// A file that Kavrin would refuse to read is never written, in any format: an edit that drove
// a particle to infinity fails the save of its frame (bin_error naming the particle).
void check_finite(const particle& p, const frame_set& fs);

// The records of the file a frame was read from, met in their order by a save that writes them
// back: each gives the particle it holds, or null for one left out (a later record of an id, a
// removed particle). A record of an unknown particle, or records that do not cover the frame
// (finish), mean the file changed since it was read: bin_error naming it.
class source_match {
  public:
    source_match(const frame_set& fs, const QString& source) : fs_(fs), source_(source) {}
    const particle* take(int32_t id, int32_t record);
    void finish() const;

  private:
    const frame_set& fs_;
    const QString& source_;
    size_t matched_ = 0;
};

// The live particles of a frame in ascending id order, each checked as check_finite does: what
// a generated frame of any format holds.
std::vector<const particle*> live_by_id(const frame_set& fs);

// Fills a frame from the file at path: each record's position, the value its fluid type names as
// the particle's scale (1 for any other type), and the record's index in the file. The first
// particle of an id wins, whether the frame held it already or an earlier record had it. All or
// nothing: a refused file leaves the frame as it was. Returns how many records were left out.
long long read_bin_frame(const QString& path, frame_set& fs, position_order order);

// The record fields of the file as channels, by their set point keys ("position", "velocity",
// "force", "vorticity" from version 9, "normal_vector", "neighbors", "texture_vector",
// "info_bits", "elapsed_particle_time", "isolation_time", "viscosity", "density", "pressure",
// "mass", "temperature", "id"), with the one named read from every record. The field the fluid
// type names carries the scale. Refuses what read_bin_frame refuses of the header (bin_error).
record_channels read_bin_channel(const QString& path, const QString& name);

// Joins the particles read from a file of `records` records into the frame, as every format's
// reader does: into an empty frame they go whole and the frame becomes the file's (with `ids`,
// the records' ids hashed in file order by add_source_id); otherwise the particles it held win
// and the frame is saved as generated. Returns how many were dropped.
long long join_read_frame(frame_set& fs, particle_map& read, int32_t records, uint64_t ids);

// The file a frame is saved as. A frame read from a file (source) gets that file's header and
// every record whose particle is still live, in the file's order and byte for byte as read, but
// for the position and the value the fluid type names, which carry the edits; the count and the
// statistics follow the records written. A generated frame, or one given no source (read from
// a file of another format), gets version 9 records of its live particles under a fresh header. A
// frame with no live particle gives a file of no record.
struct bin_frame_bytes {
    bin_header header;
    const bin_record_layout* layout = nullptr;
    QByteArray records;  // header.particles records of layout->size bytes
};
bin_frame_bytes assemble_bin_frame(const frame_set& fs, const QString& source,
                                   position_order order);

// Writes a frame as assemble_bin_frame lays it out; the file appears whole or not at all. A frame
// written as generated takes the fields of `carried` (what a file of another format held) but
// the pressure, which holds the scale.
void write_bin_frame(const QString& path, const frame_set& fs, const QString& source,
                     position_order order, const source_channels* carried = nullptr);

// The channels of the .bin file the frame was read from (every field the version has but the
// one the fluid type makes the scale), for the live particles the frame holds; bin_error naming
// the file when it changed since it was read.
source_channels bin_channels(const QString& path, const frame_set& fs);

}  // namespace kavrin
