#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <unordered_set>

#include "scene/emitter.h"
#include "exchange/bin_file.h"
#include "exchange/cache_records.h"
#include "exchange/fbx_import.h"
#include "exchange_support.h"
#include "fake_window.h"
#include "fbx_writer.h"

using namespace kavrin;
using test::read_file;
using test::write_file;

namespace {

// A cache file of random bytes in every field, as another tool could have written it: finite
// positions and scale values (the reader refuses others), ids in random order, a few of them
// repeated. With `tame`, every float is finite and the name plain text, as a set point can carry.
struct random_file {
    QByteArray bytes;
    const bin_record_layout* layout;
    int value_at;  // the field the fluid type names, or -1

    random_file(std::mt19937& rng, int16_t version, int32_t fluid, int count, bool tame) {
        layout = bin_layout(version);
        value_at = fluid == fluid_type_mass       ? layout->mass
                   : fluid == fluid_type_pressure ? layout->pressure
                                                  : -1;
        bytes.resize(bin_header_size + count * layout->size + bin_footer_size);
        std::uniform_int_distribution<int> byte(0, 255);
        std::uniform_real_distribution<float> real(-1e3f, 1e3f);
        for (char& b : bytes)
            b = char(byte(rng));
        if (tame) {
            for (int at = 4; at < 254; ++at)
                bytes[at] = at < 20 ? char('a' + (at % 26)) : '\0';
            for (int at = 256; at < bin_header_size; at += 4)
                if (at != 260 && at != 268 && at != 272 && at != 276) put(at, real(rng));
        }
        put(0, bin_code);
        put(254, version);
        put(260, fluid);
        put(276, int32_t(count));
        std::vector<int32_t> ids(static_cast<size_t>(count));
        std::iota(ids.begin(), ids.end(), -count / 3);
        std::shuffle(ids.begin(), ids.end(), rng);
        for (int i = 1; i < count; i += 37)
            ids[size_t(i)] = ids[size_t(i - 1)];  // a repeated id: the first record wins
        if (layout->wide_id)
            for (int32_t& id : ids)
                id &= 0x7FFFFFFF;  // 64-bit ids within int32
        for (int i = 0; i < count; ++i) {
            const int at = record(i);
            if (tame)
                for (int f : float_fields())
                    put(at + f, real(rng));
            for (int c = 0; c < 3; ++c)
                put(at + 4 * c, real(rng));
            if (value_at >= 0) put(at + value_at, real(rng));
            if (layout->wide_id)
                put(at + layout->id, uint64_t(ids[size_t(i)]));
            else
                put(at + layout->id, ids[size_t(i)]);
        }
    }

    int record(int i) const { return bin_header_size + i * layout->size; }

    // Offsets of every float of a record but the position.
    std::vector<int> float_fields() const {
        std::vector<int> out;
        for (int triple :
             {layout->velocity, layout->force, layout->vorticity, layout->normal, layout->texture})
            for (int c = 0; triple >= 0 && c < 3; ++c)
                out.push_back(triple + 4 * c);
        for (int single : {layout->elapsed, layout->isolation, layout->viscosity, layout->density,
                           layout->pressure, layout->mass, layout->temperature})
            out.push_back(single);
        return out;
    }

    template <class T>
    void put(int at, T value) {
        std::memcpy(bytes.data() + at, &value, sizeof value);
    }
};

int32_t id_at(const QByteArray& bytes, int at, const bin_record_layout& l) {
    return l.wide_id ? int32_t(test::field_at<uint64_t>(bytes, at + l.id))
                     : test::field_at<int32_t>(bytes, at + l.id);
}

class BinFile : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::start_scripts(); }
    test::fake_window window;
    emitter e{true, &window};
    QTemporaryDir dir;
    const script_folders real = test::source_folders();

    // Reads the file as frame `number`, from where a save writes it back.
    frame_set& read(int number, const QByteArray& bytes) {
        const QString path = dir.path() + "/in." + QString::number(number) + ".bin";
        write_file(path, bytes);
        window.cache_files[number] = window.source_files[number] = path;
        frame_set& fs = e.add_frame(number);
        import_bin(real, window, e, number);
        return fs;
    }
    QByteArray save(int number, const script_folders& folders) {
        const QString path = dir.path() + "/out." + QString::number(number) + ".bin";
        const QString source = window.cache_files[number];
        window.cache_files[number] = path;
        export_bin(folders, window, e, number);
        window.cache_files[number] = source;
        return read_file(path);
    }
};

}  // namespace

// What a file brings in goes back out: without edits every surviving record byte for byte and in
// the file's order, the header as read but for the count and the statistics; after edits only
// the positions and scale values of the edited particles differ, and removed particles are gone.
TEST_F(BinFile, EveryFieldOfEveryRecordPassesThroughAndOnlyEditsChange) {
    std::mt19937 rng(1909);
    int number = 0;
    for (int16_t version = 7; version <= 13; ++version)
        for (int32_t fluid : {fluid_type_mass, fluid_type_pressure, int32_t(8)}) {
            SCOPED_TRACE(testing::Message() << "version " << version << ", fluid type " << fluid);
            const random_file in(rng, version, fluid, 300, false);
            const bin_record_layout& l = *in.layout;
            frame_set& fs = read(number, in.bytes);

            for (int pass = 0; pass < 3; ++pass) {
                const QByteArray out = save(number, real);
                // Which records the save must carry, as they must read.
                std::unordered_set<int32_t> seen;
                QByteArray expected;
                for (int i = 0; i < 300; ++i) {
                    QByteArray rec = in.bytes.mid(in.record(i), l.size);
                    const int32_t id = id_at(in.bytes, in.record(i), l);
                    if (!seen.insert(id).second) continue;
                    const particle& p = fs.particles.at(id);
                    if (!p.live()) continue;
                    std::memcpy(rec.data(), p.position.v, 12);
                    if (in.value_at >= 0) std::memcpy(rec.data() + in.value_at, &p.scale, 4);
                    expected += rec;
                }
                const int written = int(expected.size() / l.size);
                ASSERT_EQ(out.size(), bin_header_size + expected.size() + bin_footer_size);
                EXPECT_EQ(out.mid(bin_header_size, expected.size()), expected);
                EXPECT_EQ(out.left(276), in.bytes.left(276));
                EXPECT_EQ(test::field_at<int32_t>(out, 276), written);
                EXPECT_EQ(out.mid(280, 4), in.bytes.mid(280, 4));    // radius
                EXPECT_EQ(out.mid(320, 36), in.bytes.mid(320, 36));  // emitter values
                float pressure_max = -INFINITY;
                for (int i = 0; i < written; ++i)
                    pressure_max = std::max(
                        pressure_max, test::field_at<float>(expected, i * l.size + l.pressure));
                if (std::isfinite(pressure_max)) {
                    EXPECT_EQ(test::field_at<float>(out, 284), pressure_max);
                }

                // Edit a third of the particles, remove a tenth, and bring one removed back.
                std::uniform_real_distribution<float> shift(-0.5f, 0.5f);
                int k = 0;
                for (auto& [id, p] : fs.particles) {
                    if (++k % 3 == 0) p.position += vec3(shift(rng), shift(rng), shift(rng));
                    if (k % 5 == 0) p.scale *= 1.5f;
                    if (k % 10 == 0) p.weight = 0.0f;
                    if (k % 20 == 0 && pass == 1) p.weight = 0.3f;
                }
            }
            ++number;
        }
}

// While the script library is the shipped one the native writer stands in for it: both write
// the same bytes, for generated frames and for frames read from files of every version.
TEST_F(BinFile, NativeWritingMatchesTheScriptLibrary) {
    const test::stub_folders scripted = test::scripted_library();
    ASSERT_FALSE(shipped_script_library(scripted.folders));
    std::mt19937 rng(77);
    int number = 0;
    for (int16_t version : {7, 9, 11, 12}) {
        const random_file in(rng, version, version == 7 ? fluid_type_mass : fluid_type_pressure,
                             200, true);
        frame_set& fs = read(number, in.bytes);
        for (auto& [id, p] : fs.particles)
            if (id % 4 == 0) p.position[1] += 0.25f;
        EXPECT_EQ(save(number, scripted.folders), save(number, real)) << version;
        ++number;
    }
    frame_set& generated = e.add_frame(number);
    for (int id = 0; id < 500; ++id)
        generated.particles.try_emplace(id, id, vec3(float(id), -1.0f, 0.5f * float(id)),
                                        1.0f + float(id % 7));
    window.cache_files[number] = dir.path() + "/gen.bin";
    EXPECT_EQ(save(number, scripted.folders), save(number, real));
}

// Files written by other tools read with the positions their records hold, x, y, z in order.
TEST_F(BinFile, ForeignFileReadsWithThePositionsItsRecordsHold) {
    const QByteArray foreign =
        read_file(QString(KAVRIN_SOURCE_DIR) + "/tests/exchange/python/data/foreign_v11_62.bin");
    ASSERT_EQ(test::field_at<int16_t>(foreign, 254), 11);
    const frame_set& fs = read(0, foreign);
    ASSERT_EQ(fs.particles.size(), 62u);
    for (int i = 0; i < 62; ++i) {
        const int at = bin_header_size + 110 * i;
        const particle& p = fs.particles.at(test::field_at<int32_t>(foreign, at + 106));
        EXPECT_EQ(p.position,
                  vec3(test::field_at<float>(foreign, at), test::field_at<float>(foreign, at + 4),
                       test::field_at<float>(foreign, at + 8)));
        EXPECT_EQ(p.scale, 1.0f);  // fluid type 8 names no value
    }
}

// A save never passes through records of a file that changed since it was read.
TEST_F(BinFile, ASourceThatChangedIsRefusedNotMixedIn) {
    std::mt19937 rng(3);
    const random_file in(rng, 9, fluid_type_pressure, 50, false);
    read(0, in.bytes);
    const random_file other(rng, 9, fluid_type_pressure, 50, false);
    write_file(window.source_files[0], other.bytes);
    EXPECT_THROW(save(0, real), bin_error);
}

// Nothing Kavrin would refuse to read is written: an edit that overflowed fails the frame's save.
TEST_F(BinFile, NonFiniteParticlesAreNeverWritten) {
    std::mt19937 rng(4);
    frame_set& fs = read(0, random_file(rng, 9, fluid_type_pressure, 20, false).bytes);
    fs.particles.begin()->second.position[1] = INFINITY;
    EXPECT_THROW(save(0, real), bin_error);
    frame_set& generated = e.add_frame(1);
    generated.particles.try_emplace(7, 7, vec3(0, 0, 0), NAN);
    window.cache_files[1] = dir.path() + "/gen.bin";
    EXPECT_THROW(save(1, real), bin_error);
    EXPECT_FALSE(QFile::exists(dir.path() + "/out.1.bin"));
}

// One scene, two files: points that another tool sampled on an FBX mesh and wrote into a cache
// in the layout's x, y, z order lie on that mesh as Kavrin imports it. The triangle is lopsided,
// so a cache read with any two axes swapped would land off it.
TEST_F(BinFile, CacheParticlesLieOnTheFbxGeometryOfTheSameScene) {
    namespace fbx = fbx_test;
    const fbx::vec a{1.0, 0.0, 0.0}, b{0.0, 2.0, 0.5}, c{0.2, 0.3, 3.0}, at{0.5, -1.0, 2.0};
    fbx::model_desc mesh;
    mesh.name = "Lopsided";
    mesh.type = fbx::model_desc::kind::mesh;
    mesh.translation = at;
    mesh.points = {a, b, c};
    mesh.polygons = {{0, 1, 2}};
    fbx::scene_desc scene;
    scene.models = {mesh};
    const QString fbx_path = dir.path() + "/lopsided.fbx";
    ASSERT_TRUE(fbx::write_file(fbx_path, scene));
    fbx_geometry g;
    ASSERT_TRUE(import_geometry(fbx_path, g));
    ASSERT_EQ(g.vertex_count, 3);
    const vec3 p0(g.vertices[0], g.vertices[1], g.vertices[2]);
    const vec3 n(g.normals[0], g.normals[1], g.normals[2]);

    std::mt19937 rng(8);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    QByteArray file(bin_header_size + 110 * 100 + bin_footer_size, '\0');
    bin_header header;
    header.particles = 100;
    encode_bin_header(header, file.data());
    for (int i = 0; i < 100; ++i) {
        double u = unit(rng), v = unit(rng);
        if (u + v > 1.0) u = 1.0 - u, v = 1.0 - v;
        char* rec = file.data() + bin_header_size + 110 * i;
        for (int k = 0; k < 3; ++k) {
            const float x = float(at[k] + a[k] + u * (b[k] - a[k]) + v * (c[k] - a[k]));
            std::memcpy(rec + 4 * k, &x, 4);
        }
        std::memcpy(rec + 106, &i, 4);
    }
    const frame_set& fs = read(0, file);
    ASSERT_EQ(fs.particles.size(), 100u);
    for (const auto& [id, p] : fs.particles)
        EXPECT_LT(std::fabs(dot(p.position - p0, n)), 1e-4f) << "particle " << id;
}
