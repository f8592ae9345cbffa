#include <boost/python.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include <QFile>

#include "scene/emitter.h"
#include "exchange/bin_file.h"
#include "exchange/cache_link.h"
#include "exchange/cache_records.h"
#include "exchange/script_call.h"
#include "exchange_support.h"
#include "fake_window.h"

using namespace kavrin;
using test::bin_file;
using test::fake_window;
using test::field_at;
using test::raw_record;
using test::read_file;
using test::stub_folders;
using test::write_file;

namespace {

// Writes the set point it is given as its repr, then scribbles on it; returns a literal set
// point from a file.
const QByteArray echo_shared_lib = R"(import ast

def export_bin(str_list, set_point):
    parts = [d for p in set_point["particle"].values() for d in p.values() if isinstance(d, dict)]
    with open(str_list[1], "w", encoding="utf-8") as out:
        out.write(repr(str_list[0]) + "\n" + repr(set_point) + "\n")
        out.write("%d sub-dicts, %d distinct\n" % (len(parts), len({id(d) for d in parts})))
    for d in parts:
        for key in d:
            d[key] = 9.0
    for d in set_point["header"].values():
        if isinstance(d, dict):
            d.clear()

def import_bin(str_list):
    with open(str_list[1], encoding="utf-8") as source:
        return ast.literal_eval(source.read())
)";

class CacheRecords : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::start_scripts(); }

    fake_window window;
    emitter e{false, &window};
    QTemporaryDir dir;
    const script_folders real = test::source_folders();

    frame_set& add_frame(int number) { return e.add_frame(number); }
    QString file(int number) {
        const QString path = dir.path() + "/scene." + QString::number(number) + ".bin";
        window.cache_files[number] = path;
        return path;
    }
};

void add(frame_set& fs, int id, vec3 pos, float scale, float weight = 1.0f) {
    particle p(id, pos, scale);
    p.weight = weight;
    p.rest_scale = 7.0f;  // not stored: reading gives rest_scale = scale
    p.shade = 0.5f;
    fs.particles.emplace(id, p);
}

}  // namespace

TEST_F(CacheRecords, SetPointHasEveryKeyTypeAndConstant) {
    stub_folders stub({}, {{"shared_lib.py", echo_shared_lib}});
    frame_set& fs = add_frame(3);
    add(fs, 4, {1, 2, 3}, 0.25f);
    add(fs, 5, {4, 5, 6}, 1.0f, 0.0f);  // weight 0: left out
    const QString path = file(3);
    export_bin(stub.folders, window, e, 3);
    const QString zero3 = "{'x': 0.0, 'y': 0.0, 'z': 0.0}";
    const QString stats = "{'max': 0.0, 'min': 0.0, 'ave': 0.0}";
    const QString expected =
        "'" + stub.folders.python_dir + "'\n" +
        "{'particle': {4: {'pos': {'x': 1.0, 'y': 2.0, 'z': 3.0}, 'pressure': 0.25, "
        "'texture_vector': {'u': 0.0, 'v': 0.0, 'w': 0.0}, 'velocity': " +
        zero3 + ", 'force': " + zero3 + ", 'vorticity': " + zero3 + ", 'normal_vector': " + zero3 +
        ", 'neighbors': 0.0, 'info_bits': 0.0, 'elapsed_particle_time': 0.0, "
        "'isolation_time': 0.0, 'viscosity': 0.0, 'density': 0.0, 'mass': 0.0, "
        "'temperature': 0.0}}, 'footer': {}, 'header': {'code': 16431834, 'version': 9, "
        "'fps': 30, 'name': '', 'particles': 1, 'fluid_type': -2147483646, 'emitter_position': " +
        zero3 + ", 'emitter_rotation': " + zero3 + ", 'emitter_scale': " + zero3 +
        ", 'pressure': " + stats + ", 'speed': " + stats + ", 'temperature': " + stats +
        ", 'frame_number': 0.0, 'scale_scene': 0.0, 'elapsed_simulation_time': 0.0, "
        "'radius': 0.0}}\n6 sub-dicts, 6 distinct\n";
    EXPECT_EQ(QString::fromUtf8(read_file(path)), expected);
    // The script scribbled on that set point: the next one is made afresh all the same.
    export_bin(stub.folders, window, e, 3);
    EXPECT_EQ(QString::fromUtf8(read_file(path)), expected);

    // Each particle has sub-dicts of its own: a script changing one changes nothing else.
    for (int id = 10; id < 20; ++id)
        add(fs, id, {float(id), 0, 0}, 1.0f);
    export_bin(stub.folders, window, e, 3);
    EXPECT_TRUE(QString::fromUtf8(read_file(path)).endsWith("\n66 sub-dicts, 66 distinct\n"));
}

TEST_F(CacheRecords, RoundTripThroughTheRealFileFormat) {
    frame_set& out = add_frame(0);
    add(out, 4, {1, 2, 3}, 0.25f);
    for (int id = 10; id < 16; ++id)
        add(out, id, {-float(id), 0.5f, 1e-3f * id}, 2.0f);
    add(out, 30, {9, 9, 9}, 1.0f, 0.0f);
    add(out, 31, {9, 9, 9}, 1.0f, -1.0f);
    const QString path = file(0);
    export_bin(real, window, e, 0);

    const QByteArray bytes = read_file(path);
    ASSERT_EQ(bytes.size(), 356 + 7 * 110 + 6);
    EXPECT_EQ(field_at<int32_t>(bytes, 0), 16431834);
    EXPECT_EQ(field_at<int16_t>(bytes, 254), 9);
    EXPECT_EQ(field_at<int32_t>(bytes, 260), -2147483646);
    EXPECT_EQ(field_at<int32_t>(bytes, 272), 30);
    EXPECT_EQ(field_at<int32_t>(bytes, 276), 7);  // the two weightless particles are not written
    bool found = false;
    for (int at = 356; at < 356 + 7 * 110; at += 110) {
        if (field_at<int32_t>(bytes, at + 106) != 4) continue;
        found = true;
        EXPECT_EQ(field_at<float>(bytes, at), 1.0f);  // x, y, z as every reader takes them
        EXPECT_EQ(field_at<float>(bytes, at + 4), 2.0f);
        EXPECT_EQ(field_at<float>(bytes, at + 8), 3.0f);
        EXPECT_EQ(field_at<float>(bytes, at + 94), 0.25f);
    }
    EXPECT_TRUE(found);

    frame_set& in = add_frame(1);
    window.cache_files[1] = path;
    import_bin(real, window, e, 1);
    ASSERT_EQ(in.particles.size(), 7u);
    EXPECT_EQ(in.particles.count(30) + in.particles.count(31), 0u);
    const particle& p = in.particles.at(4);
    EXPECT_EQ(p.id, 4);
    EXPECT_EQ(p.position, vec3(1, 2, 3));
    EXPECT_EQ(p.rest_position, vec3(1, 2, 3));
    EXPECT_EQ(p.normal, vec3());
    EXPECT_EQ(p.scale, 0.25f);
    EXPECT_EQ(p.rest_scale, 0.25f);
    EXPECT_EQ(p.weight, 1.0f);
    EXPECT_EQ(p.shade, 1.0f);
    EXPECT_FALSE(p.moved || p.changed || p.selected);
    for (int id = 10; id < 16; ++id) {
        EXPECT_EQ(in.particles.at(id).position, out.particles.at(id).position);
        EXPECT_EQ(in.particles.at(id).scale, 2.0f);
    }
}

// Repeated writes and reads through set points must not leave Python objects behind: a scene
// saves 100 frames.
TEST_F(CacheRecords, RepeatedCallsLeakNoPythonObjects) {
    const stub_folders scripted = test::scripted_library();
    frame_set& fs = add_frame(0);
    for (int id = 1000; id < 3000; ++id)
        add(fs, id, {float(id), 1, 2}, 0.5f);
    window.source_files[0] = file(0);
    auto blocks = [] {
        return script_call::guarded("test", [] {
            namespace bp = boost::python;
            bp::import("gc").attr("collect")();
            return long(bp::extract<long>(bp::import("sys").attr("getallocatedblocks")()));
        });
    };
    auto cycle = [&] {
        export_bin(scripted.folders, window, e, 0);
        fs.particles.clear();
        import_bin(scripted.folders, window, e, 0);
    };
    cycle();  // first use imports modules and makes the templates
    const long before = blocks();
    for (int i = 0; i < 5; ++i)
        cycle();
    EXPECT_LT(blocks() - before, 500);  // a leak per particle would show as 10,000 and more
    EXPECT_EQ(fs.particles.size(), 2000u);
}

// Downstream tools expect an unbroken sequence: a frame whose particles were all removed is
// a file of no record, and reads back as an empty frame.
TEST_F(CacheRecords, FrameWithoutLiveParticlesWritesAFileOfNoRecord) {
    frame_set& fs = add_frame(2);
    const QString path = file(2);
    add(fs, 1, {1, 1, 1}, 1.0f, 0.0f);
    add(fs, 2, {1, 1, 1}, 1.0f, -0.5f);
    export_bin(real, window, e, 2);
    const QByteArray bytes = read_file(path);
    ASSERT_EQ(bytes.size(), bin_header_size + bin_footer_size);
    EXPECT_EQ(field_at<int32_t>(bytes, 276), 0);
    frame_set& back = add_frame(3);
    window.cache_files[3] = path;
    EXPECT_EQ(import_bin(real, window, e, 3), 0);
    EXPECT_TRUE(back.particles.empty());
}

// The first particle of an id wins, whether the frame already held it or an earlier record of
// the file had it; the particles dropped for that are counted in the log.
TEST_F(CacheRecords, FirstParticleOfAnIdWinsAndDuplicatesAreLogged) {
    const QString path = file(0);
    write_file(path, bin_file(-2147483646, {{1, 2, 3, 0.5f, 0, 4},
                                            {4, 5, 6, 0.5f, 0, 5},
                                            {7, 8, 9, 0.5f, 0, 5},
                                            {1, 1, 1, 0.5f, 0, 6},
                                            {7, 7, 7, 0.5f, 0, 5}}));
    frame_set& fs = add_frame(0);
    add(fs, 4, {9, 9, 9}, 3.0f);
    ASSERT_FALSE(read_cache_frame(real, window, e, 0));
    ASSERT_EQ(fs.particles.size(), 3u);
    EXPECT_EQ(fs.particles.at(4).position, vec3(9, 9, 9));
    EXPECT_EQ(fs.particles.at(4).scale, 3.0f);
    EXPECT_EQ(fs.particles.at(5).position, vec3(4, 5, 6));
    EXPECT_EQ(fs.particles.at(6).position, vec3(1, 1, 1));
    EXPECT_EQ(window.log_lines(), QStringList{"cache load / duplicate ids / 0 / 3"});

    // A file without repeats reads without that line.
    write_file(path, bin_file(-2147483646, {{1, 2, 3, 0.5f, 0, 10}, {4, 5, 6, 0.5f, 0, 11}}));
    ASSERT_FALSE(read_cache_frame(real, window, e, 0));
    EXPECT_EQ(fs.particles.size(), 5u);
    EXPECT_EQ(window.log_lines().size(), 1);
}

TEST_F(CacheRecords, FluidTypeNamesTheValueField) {
    const std::vector<raw_record> records{{1, 2, 3, 0.5f, 4.0f, 1}, {0, 0, 0, 0.75f, 8.0f, 2}};
    const std::pair<int32_t, std::pair<float, float>> cases[] = {
        {-2147483647, {4.0f, 8.0f}},   // "mass"
        {-2147483646, {0.5f, 0.75f}},  // "pressure"
        {0, {1.0f, 1.0f}},             // neither: every particle gets 1.0
        {8, {1.0f, 1.0f}}};
    int number = 0;
    for (const auto& [type, values] : cases) {
        const QString path = file(number);
        write_file(path, bin_file(type, records));
        frame_set& fs = add_frame(number);
        import_bin(real, window, e, number);
        ASSERT_EQ(fs.particles.size(), 2u) << type;
        EXPECT_EQ(fs.particles.at(1).scale, values.first) << type;
        EXPECT_EQ(fs.particles.at(1).rest_scale, values.first) << type;
        EXPECT_EQ(fs.particles.at(2).scale, values.second) << type;
        EXPECT_EQ(fs.particles.at(1).position, vec3(1, 2, 3)) << type;
        ++number;
    }
}

TEST_F(CacheRecords, TenThousandParticlesComeBackBitExact) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> coordinate(-50.0f, 50.0f), size(0.01f, 4.0f);
    frame_set& out = add_frame(0);
    for (int id = 0; id < 10000; ++id)
        add(out, id * 3 - 5000, {coordinate(random), coordinate(random), coordinate(random)},
            size(random));
    add(out, 99999, {1e-40f, -0.0f, position_limit}, 1e-30f);  // subnormal, signed zero, the top
    window.cache_files[1] = file(0);
    export_bin(real, window, e, 0);
    frame_set& in = add_frame(1);
    import_bin(real, window, e, 1);
    ASSERT_EQ(in.particles.size(), out.particles.size());
    int differ = 0;
    for (const auto& [id, p] : out.particles) {
        const particle& q = in.particles.at(id);
        if (std::memcmp(p.position.v, q.position.v, sizeof p.position.v) != 0 ||
            std::memcmp(&p.scale, &q.scale, sizeof p.scale) != 0)
            ++differ;
    }
    EXPECT_EQ(differ, 0);
}

TEST_F(CacheRecords, ForeignFileReadsWithScaleOne) {
    window.cache_files[0] =
        QString(KAVRIN_SOURCE_DIR) + "/tests/exchange/python/data/foreign_v11_62.bin";
    frame_set& fs = add_frame(0);
    import_bin(real, window, e, 0);
    ASSERT_EQ(fs.particles.size(), 62u);
    for (int id = 1; id <= 62; ++id) {
        const particle& p = fs.particles.at(id);
        EXPECT_EQ(p.scale, 1.0f);
        EXPECT_EQ(p.weight, 1.0f);
        EXPECT_TRUE(std::isfinite(p.position[0] + p.position[1] + p.position[2]));
    }
}

namespace {

// A cache file of the given version written byte by byte: versions 7 and 8 lack the vorticity,
// 12 and 13 widen the id to 64 bits.
QByteArray versioned_file(int16_t version, int32_t fluid_type,
                          const std::vector<std::pair<raw_record, uint64_t>>& records) {
    const int size = version <= 8 ? 98 : version <= 11 ? 110 : 114;
    const int pressure = version <= 8 ? 82 : 94;
    QByteArray bytes = bin_file(fluid_type, {});
    bytes.resize(356 + size * int(records.size()) + 10);
    auto put = [&bytes](int offset, const void* value, size_t n) {
        std::memcpy(bytes.data() + offset, value, n);
    };
    const int32_t count = int32_t(records.size());
    put(254, &version, 2);
    put(276, &count, 4);
    for (size_t i = 0; i < records.size(); ++i) {
        const auto& [r, id] = records[i];
        const int at = 356 + size * int(i);
        const float pos[3] = {r.x, r.y, r.z};
        put(at, pos, 12);
        put(at + pressure, &r.pressure, 4);
        put(at + pressure + 4, &r.mass, 4);
        put(at + pressure + 12, &id, version <= 11 ? 4 : 8);
    }
    return bytes;
}

}  // namespace

TEST_F(CacheRecords, NativeReadingMatchesTheScriptLibrary) {
    const stub_folders scripted = test::scripted_library();
    ASSERT_TRUE(shipped_script_library(real));
    ASSERT_FALSE(shipped_script_library(scripted.folders));

    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-3.0f, 3.0f);
    frame_set& source = add_frame(0);
    for (int id = 0; id < 3000; ++id)
        add(source, id * 7 - 900, {u(rng), u(rng), u(rng)}, u(rng) + 3.0f, id % 9 ? 1.0f : 0.0f);
    const QString exported = file(0);
    export_bin(real, window, e, 0);

    std::vector<std::pair<raw_record, uint64_t>> odd;
    for (int i = 0; i < 400; ++i)  // repeated and negative ids among them
        odd.push_back(
            {{u(rng), u(rng), u(rng), u(rng), u(rng), 0}, uint64_t(int64_t(i % 150 - 20))});
    std::vector<QString> paths{
        exported, QString(KAVRIN_SOURCE_DIR) + "/tests/exchange/python/data/foreign_v11_62.bin"};
    for (auto [version, fluid] : std::vector<std::pair<int16_t, int32_t>>{
             {7, fluid_type_mass}, {9, fluid_type_pressure}, {11, 3}, {13, fluid_type_mass}}) {
        std::vector<std::pair<raw_record, uint64_t>> records = odd;
        if (version == 13)
            for (auto& r : records)
                r.second &= 0x7FFFFFFF;
        paths.push_back(dir.path() + "/v" + QString::number(version) + ".bin");
        write_file(paths.back(), versioned_file(version, fluid, records));
    }
    for (const QString& path : paths) {
        window.cache_files[1] = path;
        frame_set& native = add_frame(1);
        native.particles.clear();
        const long long native_dropped = import_bin(real, window, e, 1);
        window.cache_files[2] = path;
        frame_set& script = add_frame(2);
        script.particles.clear();
        EXPECT_EQ(import_bin(scripted.folders, window, e, 2), native_dropped);
        ASSERT_GT(script.particles.size(), 50u) << path.toStdString();
        ASSERT_EQ(native.particles.size(), script.particles.size());
        auto a = native.particles.begin();
        for (const auto& [id, q] : script.particles) {  // the same particles in the same order
            const particle& p = (a++)->second;
            ASSERT_EQ(p.id, id) << path.toStdString();
            ASSERT_EQ(std::memcmp(p.position.v, q.position.v, sizeof p.position.v), 0);
            ASSERT_EQ(std::memcmp(p.rest_position.v, q.rest_position.v, sizeof p.position.v), 0);
            ASSERT_EQ(std::memcmp(&p.scale, &q.scale, sizeof p.scale), 0);
            ASSERT_EQ(p.rest_scale, q.rest_scale);
            ASSERT_EQ(p.weight, q.weight);
        }
    }

    // A 64-bit id beyond int32 is refused the script's way, and the frame stays empty.
    odd[17].second = uint64_t(1) << 40;
    write_file(dir.path() + "/wide.bin", versioned_file(12, fluid_type_pressure, odd));
    window.cache_files[1] = dir.path() + "/wide.bin";
    frame_set& refused = add_frame(1);
    refused.particles.clear();
    EXPECT_THROW(import_bin(real, window, e, 1), bin_error);
    EXPECT_TRUE(refused.particles.empty());
}

TEST_F(CacheRecords, BadFileOrSetPointLeavesTheFrameUntouched) {
    frame_set& fs = add_frame(0);
    add(fs, 1, {7, 7, 7}, 1.0f);
    const QString path = file(0);
    auto untouched = [&] {
        return fs.particles.size() == 1 && fs.particles.at(1).position == vec3(7, 7, 7);
    };

    QByteArray whole = bin_file(-2147483646, {{1, 2, 3, 1, 0, 2}, {1, 2, 3, 1, 0, 3}});
    write_file(path, whole.left(356 + 150));
    try {
        import_bin(real, window, e, 0);
        FAIL() << "a truncated file was read";
    } catch (const bin_error& err) {
        const std::string said = err.what();
        EXPECT_NE(said.find("truncated"), std::string::npos) << said;
        EXPECT_NE(said.find(path.toStdString()), std::string::npos) << said;
    }
    EXPECT_TRUE(untouched());
    QFile::remove(path);
    EXPECT_THROW(import_bin(real, window, e, 0), bin_error);  // missing file
    EXPECT_TRUE(untouched());

    // Set points that fail part-way: the good particles before the bad one are not kept either.
    stub_folders stub({}, {{"shared_lib.py", echo_shared_lib}});
    const QString good = "{'x': 1.0, 'y': 2.0, 'z': 3.0}";
    auto set_point = [&](const QString& last) {
        return "{'header': {'fluid_type': -2147483646}, 'particle': {2: {'pos': " + good +
               ", 'pressure': 1.0}, 3: {'pos': " + good + ", 'pressure': 1.0}, 4: " + last + "}}";
    };
    const std::pair<QString, const char*> bad[] = {
        {set_point("{'pos': {'x': 'a', 'y': 2.0, 'z': 3.0}, 'pressure': 1.0}"),
         "particle 4 \"pos\" \"x\""},
        {set_point("{'pressure': 1.0}"), "particle 4 \"pos\" is missing"},
        {set_point("{'pos': " + good + "}"), "particle 4 \"pressure\" is missing"},
        {set_point("{'pos': " + good + ", 'pressure': 1e300}"),
         "particle 4 \"pressure\" is not a finite float"},
        {set_point("[1]"), "particle 4 is a list"},
        {"{'header': {'fluid_type': 0}, 'particle': {2: {'pos': " + good + "}, 1099511627776: {}}}",
         ": particle id 1099511627776 does not fit in 32 bits"},
        {"{'header': {}, 'particle': {}}", "\"fluid_type\" is missing"},
        {"[]", ": set point is a list, not a dict"}};
    for (const auto& [text, reason] : bad) {
        write_file(path, text.toUtf8());
        try {
            import_bin(stub.folders, window, e, 0);
            ADD_FAILURE() << "accepted " << text.toStdString();
        } catch (const script_error& err) {
            EXPECT_NE(std::string(err.what()).find(reason), std::string::npos) << err.what();
        }
        EXPECT_TRUE(untouched()) << text.toStdString();
    }
    write_file(path, set_point("{'pos': " + good + ", 'pressure': 2.0}").toUtf8());
    import_bin(stub.folders, window, e, 0);
    EXPECT_EQ(fs.particles.size(), 4u);
}

TEST_F(CacheRecords, FrameMissingFromTheFileListIsAnErrorAndListStaysAsItWas) {
    frame_set& fs = add_frame(5);
    add(fs, 1, {1, 1, 1}, 1.0f);
    EXPECT_THROW(export_bin(real, window, e, 5), bin_error);
    EXPECT_THROW(import_bin(real, window, e, 5), bin_error);
    EXPECT_TRUE(window.cache_files.empty());
    EXPECT_THROW(export_bin(real, window, e, 6), std::out_of_range);  // no such frame
}

TEST_F(CacheRecords, FourThreadsWriteFourFramesAtOnce) {
    for (int f = 0; f < 4; ++f) {
        frame_set& fs = add_frame(f);
        for (int id = 0; id < 2000; ++id)
            add(fs, id, {float(f), float(id), -float(id)}, 0.5f + f);
        file(f);
    }
    std::vector<std::thread> threads;
    std::atomic<int> failed{0};
    for (int f = 0; f < 4; ++f)
        threads.emplace_back([&, f] {
            if (write_cache_frame(real, window, e, f)) ++failed;
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failed, 0) << window.log_lines().join("\n").toStdString();
    for (int f = 0; f < 4; ++f) {
        frame_set& in = add_frame(10 + f);
        window.cache_files[10 + f] = window.cache_files[f];
        ASSERT_FALSE(read_cache_frame(real, window, e, 10 + f));
        ASSERT_EQ(in.particles.size(), 2000u);
        for (const auto& [id, p] : in.particles) {
            ASSERT_EQ(p.position, vec3(float(f), float(id), -float(id)));
            ASSERT_EQ(p.scale, 0.5f + f);
        }
    }
}

TEST_F(CacheRecords, FailuresAreValuesLoggedAsOneLine) {
    frame_set& fs = add_frame(3);
    add(fs, 1, {1, 1, 1}, 1.0f);
    window.cache_files[3] = dir.path() + "/no such folder/scene.3.bin";
    const std::optional<cache_failure> saved = write_cache_frame(real, window, e, 3);
    const std::optional<cache_failure> read = read_cache_frame(real, window, e, 3);
    ASSERT_TRUE(saved && read);
    EXPECT_EQ(saved->what, cache_failure::kind::save);
    EXPECT_EQ(read->what, cache_failure::kind::load);
    for (const cache_failure* f : {&*saved, &*read}) {
        EXPECT_EQ(f->file, window.cache_files[3]);
        EXPECT_EQ(f->frame, 3);
    }
    const QStringList lines = window.log_lines();
    ASSERT_EQ(lines, (QStringList{log_line(*saved), log_line(*read)}));
    const QString file = "cache file " + window.cache_files[3];
    EXPECT_TRUE(lines[0].startsWith("cache save / error / 3 / " + file + ": cannot be written"))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith("cache load / error / 3 / " + file + ": cannot be opened"))
        << lines[1].toStdString();
    EXPECT_EQ(fs.particles.size(), 1u);
}

// A small scene saved through the frame work loop and played back as a cache.
TEST_F(CacheRecords, SceneSavedAndPlayedBack) {
    window.generation_scale = 3;
    window.cpu_count = 2;
    e.build();
    ASSERT_TRUE(
        test::tick_until(e, [&] { return e.built() && !e.has_pending_work(); }));
    for (int f = 0; f < 100; ++f)
        file(f);
    window.on_write = [&](emitter& em, int f) { write_cache_frame(real, window, em, f); };
    e.mark_for_save();
    ASSERT_TRUE(test::tick_until(e, [&] { return !e.saving(); }));
    EXPECT_EQ(window.count_lines("cache save / error"), 0);
    QFile::remove(window.cache_files[40]);  // one frame lost on disk

    fake_window player;
    player.cache_files = window.cache_files;
    player.on_read = [&](emitter& em, int f) { read_cache_frame(real, player, em, f); };
    emitter played(true, &player);
    played.build();
    ASSERT_TRUE(test::tick_until(played, [&] { return played.built(); }));
    EXPECT_EQ(player.count_lines("cache load / error / 40 / "), 1);
    for (int f = 0; f < 100; ++f) {
        const frame_set& in = played.frame(f);
        if (f == 40) {
            EXPECT_TRUE(in.particles.empty() && in.empty);
            continue;
        }
        const frame_set& out = e.frame(f);
        ASSERT_EQ(in.particles.size(), out.particles.size()) << f;
        for (const auto& [id, p] : out.particles)
            EXPECT_EQ(in.particles.at(id).position, p.position);
    }
}
