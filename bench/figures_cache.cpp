// Cache figures: one 10,000-particle frame through the script library and straight from C++,
// the whole "10000" scene saved as a cache and played back, and million-particle frames of
// every format.
#include <malloc.h>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include "scene/emitter.h"
#include "exchange/bin_file.h"
#include "exchange/cache_folder.h"
#include "exchange/cache_format.h"
#include "exchange/cache_link.h"
#include "exchange/cache_records.h"
#include "exchange/script_bridge.h"
#include "fake_window.h"
#include "figure.h"
#include "scene_driver.h"

namespace kavrin::bench {
namespace {

using test::fake_window;

constexpr int frame_particles = 10000;
constexpr int repeats = 15;

// The scripts of the source tree this program was built from.
script_folders folders() {
    static const bool started = [] {
        qputenv("PYTHONDONTWRITEBYTECODE", "1");  // leave no compiled scripts in the tree
        start_interpreter();
        return true;
    }();
    (void)started;
    const QString root = QString(KAVRIN_SOURCE_DIR) + "/";
    return {QDir::cleanPath(root + "app") + "/", QDir::cleanPath(root + "resource/python") + "/"};
}

// Where the figures write: a temporary folder removed at exit, or KAVRIN_BENCH_KEEP.
QString output_folder(const QString& name) {
    static std::unique_ptr<QTemporaryDir> temporary;
    QString base = qEnvironmentVariable("KAVRIN_BENCH_KEEP");
    if (base.isEmpty()) {
        if (!temporary) temporary = std::make_unique<QTemporaryDir>();
        base = temporary->path();
    }
    const QString folder = QDir::cleanPath(base + "/" + name);
    QDir().mkpath(folder);
    return folder;
}

// One frame of 10,000 particles spread like the generated fountain.
struct single_frame {
    fake_window window;
    emitter e{false, &window};
    frame_set& fs;

    single_frame() : fs(e.add_frame(0)) {
        window.cache_files = plan_cache_save(output_folder("kavrin_frame_10000"), {0});
        std::mt19937 random(99);
        std::uniform_real_distribution<float> spread(-1.0f, 1.0f), size(0.5f, 1.5f);
        for (int id = 0; id < frame_particles; ++id)
            fs.particles.try_emplace(
                id, id, vec3(spread(random), spread(random) + 1.0f, spread(random)), size(random));
    }
};

template <class Work>
double median_ms(Work work) {
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const double start = now_seconds();
        work();
        times.push_back((now_seconds() - start) * 1000.0);
    }
    return median(times);
}

double export_ms() {
    single_frame s;
    return median_ms([&] { export_bin(folders(), s.window, s.e, 0); });
}

double import_ms() {
    single_frame s;
    export_bin(folders(), s.window, s.e, 0);
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        s.fs.particles.clear();
        const double start = now_seconds();
        import_bin(folders(), s.window, s.e, 0);
        times.push_back((now_seconds() - start) * 1000.0);
        if (s.fs.particles.size() != size_t(frame_particles)) std::cerr << "import: short frame\n";
    }
    return median(times);
}

// The bytes a generated frame's file holds (header, records, footer), laid out by hand and
// written in one call: the floor the export is compared with.
void write_bin_directly(const particle_map& particles, const QString& path) {
    const bin_record_layout& layout = *bin_layout(bin_generated_version);
    std::vector<char> bytes(
        size_t(bin_header_size) + size_t(layout.size) * particles.size() + bin_footer_size, '\0');
    bin_header header;
    header.particles = int32_t(particles.size());
    encode_bin_header(header, bytes.data());
    size_t at = bin_header_size;
    for (const auto& [id, p] : particles) {
        std::memcpy(bytes.data() + at, p.position.v, 12);
        std::memcpy(bytes.data() + at + size_t(layout.pressure), &p.scale, 4);
        std::memcpy(bytes.data() + at + size_t(layout.id), &id, 4);
        at += size_t(layout.size);
    }
    if (FILE* out = std::fopen(path.toLocal8Bit().constData(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), out);
        std::fclose(out);
    }
}

// The floor the script's writing is compared with.
double write_floor_ms() {
    single_frame s;
    const QString path = output_folder("kavrin_floor_10000") + "/floor.0000.bin";
    return median_ms([&] { write_bin_directly(s.fs.particles, path); });
}

// The saved "10000" scene: its cache files, and how long saving took.
struct saved_scene {
    std::map<int, QString> files;
    double seconds = 0.0;
};

const saved_scene& save_scene() {
    static saved_scene saved;
    if (!saved.files.empty()) return saved;
    fake_window window;
    window.generation_scale = 100;
    window.cpu_count = 2;
    emitter e(false, &window);
    e.build();
    tick_until(e, [&] { return e.built() && !e.has_pending_work(); });

    std::vector<int> numbers;
    for (const auto& [number, fs] : e.frames)
        numbers.push_back(number);
    window.cache_files = plan_cache_save(output_folder("kavrin_scene_10000"), numbers);
    const script_folders scripts = folders();
    window.on_write = [&](emitter& em, int frame) {
        write_cache_frame(scripts, window, em, frame);
    };
    const double start = now_seconds();
    e.mark_for_save();
    tick_until(e, [&] { return !e.saving(); });
    saved.seconds = now_seconds() - start;
    saved.files = window.cache_files;
    for (const QString& line : window.log_lines())
        if (line.startsWith("cache save / error")) std::cerr << line.toStdString() << "\n";
    return saved;
}

double load_scene_seconds() {
    const saved_scene& saved = save_scene();
    fake_window window;
    window.cpu_count = 2;
    window.cache_files = saved.files;
    const script_folders scripts = folders();
    window.on_read = [&](emitter& em, int frame) { read_cache_frame(scripts, window, em, frame); };
    const double start = now_seconds();
    emitter e(true, &window);
    e.build();
    tick_until(e, [&] { return e.built(); });
    const double seconds = now_seconds() - start;
    if (e.point_count() != 505000) std::cerr << "load: " << e.point_count() << " particles read\n";
    return seconds;
}

// Frame 0 of e read through the import path: the seconds it takes. Its memory goes to standard
// error, the peak counted from the call on.
double timed_import(const std::string& figure, fake_window& window, emitter& e) {
    // The memory of what the caller made goes back to the system first.
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
    const double rss = resident_mb();
    const double start = now_seconds();
    import_bin(folders(), window, e, 0);
    const double seconds = now_seconds() - start;
    const double after = resident_mb();
    std::cerr << figure << ": " << e.frame(0).particles.size() << " particles, "
              << QFileInfo(window.cache_files[0]).size() << " bytes; resident " << rss
              << " MB before, " << after << " MB after, peak " << peak_rss_mb() << " MB (transient "
              << peak_rss_mb() - after << " MB)\n";
    return seconds;
}

// One million-particle frame through the import path, from a file as the library writes it.
double import_million_seconds() {
    constexpr int count = 1000000;
    fake_window window;
    emitter e(true, &window);
    e.add_frame(0);
    window.cache_files = plan_cache_save(output_folder("kavrin_frame_1000000"), {0});
    {
        std::mt19937 random(17);
        std::uniform_real_distribution<float> spread(-1.0f, 1.0f), size(0.5f, 1.5f);
        particle_map particles;
        for (int32_t id = 0; id < count; ++id)
            particles.try_emplace(id, id, vec3(spread(random), spread(random), spread(random)),
                                  size(random));
        write_bin_directly(particles, window.cache_files[0]);
    }
    return timed_import("cache_import_1000000", window, e);
}

// One million-particle frame read from a file of another tool (every channel filled) and
// written back through the export path, its records passed through.
double export_million_seconds() {
    constexpr int count = 1000000;
    fake_window window;
    emitter e(true, &window);
    frame_set& fs = e.add_frame(0);
    const QString folder = output_folder("kavrin_export_1000000");
    window.cache_files = window.source_files = plan_cache_save(folder + "/in", {0});
    QDir().mkpath(folder + "/in");
    {
        const bin_record_layout& layout = *bin_layout(11);
        std::vector<char> bytes(size_t(bin_header_size) + size_t(layout.size) * count +
                                bin_footer_size);
        std::mt19937 random(23);
        std::uniform_real_distribution<float> spread(-1.0f, 1.0f);
        for (size_t i = bin_header_size; i + 4 <= bytes.size(); i += 4) {
            const float v = spread(random);
            std::memcpy(bytes.data() + i, &v, 4);
        }
        bin_header header;
        header.version = 11;
        header.particles = count;
        encode_bin_header(header, bytes.data());
        for (int32_t id = 0; id < count; ++id) {
            char* record = bytes.data() + bin_header_size + size_t(id) * size_t(layout.size);
            const float position[3] = {spread(random), spread(random), spread(random)};
            const float pressure = spread(random) + 2.0f;
            std::memcpy(record, position, 12);
            std::memcpy(record + layout.pressure, &pressure, 4);
            std::memcpy(record + layout.id, &id, 4);
        }
        std::ofstream(window.cache_files[0].toStdString(), std::ios::binary)
            .write(bytes.data(), std::streamsize(bytes.size()));
    }
    import_bin(folders(), window, e, 0);
    window.cache_files = plan_cache_save(folder + "/out", {0});
    QDir().mkpath(folder + "/out");
    const double start = now_seconds();
    export_bin(folders(), window, e, 0);
    const double seconds = now_seconds() - start;
    std::cerr << "cache_export_1000000: " << fs.particles.size() << " particles, "
              << QFileInfo(window.cache_files[0]).size() << " bytes\n";
    return seconds;
}

// A seeded million-particle frame written in a format, for the figures of the other formats.
void write_million(const QString& path) {
    fake_window window;
    emitter e(false, &window);
    frame_set& fs = e.add_frame(0);
    std::mt19937 random(29);
    std::uniform_real_distribution<float> spread(-1.0f, 1.0f), size(0.5f, 1.5f);
    for (int32_t id = 0; id < 1000000; ++id)
        fs.particles.try_emplace(id, id, vec3(spread(random), spread(random), spread(random)),
                                 size(random));
    write_cache_file(path, fs, QString(), position_order::file);
}

// One million-particle frame of a format through the import path, its memory told as for .bin.
double import_format_seconds(const QString& format) {
    fake_window window;
    emitter e(true, &window);
    e.add_frame(0);
    window.cache_files = plan_cache_save(output_folder("kavrin_" + format + "_1000000"), {0},
                                         *parse_cache_format(format));
    write_million(window.cache_files[0]);
    return timed_import("cache_import_" + format.toStdString() + "_1000000", window, e);
}

// One million-particle frame read from a .vdb and written back through the export path, its
// attributes passed through.
double export_vdb_seconds() {
    fake_window window;
    emitter e(true, &window);
    frame_set& fs = e.add_frame(0);
    const QString folder = output_folder("kavrin_export_vdb_1000000");
    window.cache_files = window.source_files =
        plan_cache_save(folder + "/in", {0}, cache_format::vdb);
    QDir().mkpath(folder + "/in");
    write_million(window.cache_files[0]);
    import_bin(folders(), window, e, 0);
    window.cache_files = plan_cache_save(folder + "/out", {0}, cache_format::vdb);
    QDir().mkpath(folder + "/out");
    const double start = now_seconds();
    export_bin(folders(), window, e, 0);
    const double seconds = now_seconds() - start;
    std::cerr << "cache_export_vdb_1000000: " << fs.particles.size() << " particles, "
              << QFileInfo(window.cache_files[0]).size() << " bytes\n";
    return seconds;
}

add_figure export_figure("cache_export_10000", "ms", export_ms);
add_figure export_million("cache_export_1000000", "s", export_million_seconds);
add_figure import_figure("cache_import_10000", "ms", import_ms);
add_figure floor_figure("cache_write_floor_10000", "ms", write_floor_ms);
add_figure save_figure("cache_save_scene_10000", "s", [] { return save_scene().seconds; });
add_figure load_figure("cache_load_scene_10000", "s", load_scene_seconds);
add_figure import_million("cache_import_1000000", "s", import_million_seconds);
add_figure import_vdb("cache_import_vdb_1000000", "s", [] { return import_format_seconds("vdb"); });
add_figure export_vdb("cache_export_vdb_1000000", "s", export_vdb_seconds);
add_figure import_ply("cache_import_ply_1000000", "s", [] { return import_format_seconds("ply"); });

}  // namespace
}  // namespace kavrin::bench
