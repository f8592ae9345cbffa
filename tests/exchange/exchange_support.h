#pragma once
// Shared by the exchange tests: the interpreter started once per program, the script folders of
// the source tree, stub script folders in temporary directories, and file helpers.

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include "exchange/script_bridge.h"

namespace kavrin::test {

inline void start_scripts() {
    static const bool started = [] {
        // Test runs must not leave compiled scripts in the source tree.
        qputenv("PYTHONDONTWRITEBYTECODE", "1");
        start_interpreter();
        return true;
    }();
    (void)started;
}

// The real script library of the source tree.
inline script_folders source_folders() {
    return {QString(KAVRIN_SOURCE_DIR) + "/app/", QString(KAVRIN_SOURCE_DIR) + "/resource/python/"};
}

inline void write_file(const QString& path, const QByteArray& bytes) {
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) throw std::runtime_error("write");
    out.write(bytes);
}

inline QByteArray read_file(const QString& path) {
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly)) return {};
    return in.readAll();
}

// An application folder and a script folder, each in a temporary directory, filled with the
// given module sources (file name -> text).
struct stub_folders {
    QTemporaryDir app, python;
    script_folders folders;

    stub_folders(const std::vector<std::pair<QString, QByteArray>>& app_files,
                 const std::vector<std::pair<QString, QByteArray>>& python_files) {
        folders = {app.path() + "/", python.path() + "/"};
        for (const auto& [name, text] : app_files)
            write_file(folders.app_dir + name, text);
        for (const auto& [name, text] : python_files)
            write_file(folders.python_dir + name, text);
    }
};

// The shipped script library changed by one comment line: every frame goes through set points.
inline stub_folders scripted_library() {
    QFile shipped(source_folders().python_dir + "shared_lib.py");
    if (!shipped.open(QIODevice::ReadOnly)) throw std::runtime_error("no shared_lib.py");
    return stub_folders({}, {{"shared_lib.py", shipped.readAll() + "\n# mine\n"}});
}

// One record of a cache file, in the file's own component order.
struct raw_record {
    float x, y, z, pressure, mass;
    int32_t id;
};

// A version 9 cache file written byte by byte (header 356 bytes, records 110, footer 6).
inline QByteArray bin_file(int32_t fluid_type, const std::vector<raw_record>& records) {
    QByteArray bytes(356 + 110 * int(records.size()) + 6, '\0');
    auto put = [&bytes](int offset, const void* value, size_t size) {
        std::memcpy(bytes.data() + offset, value, size);
    };
    const int32_t code = 0xFABADA, fps = 30, count = int32_t(records.size());
    const int16_t version = 9;
    put(0, &code, 4);
    put(254, &version, 2);
    put(260, &fluid_type, 4);
    put(272, &fps, 4);
    put(276, &count, 4);
    for (size_t i = 0; i < records.size(); ++i) {
        const raw_record& r = records[i];
        const int at = 356 + 110 * int(i);
        const float pos[3] = {r.x, r.y, r.z};
        put(at, pos, 12);
        put(at + 94, &r.pressure, 4);
        put(at + 98, &r.mass, 4);
        put(at + 106, &r.id, 4);
    }
    return bytes;
}

template <class T>
T field_at(const QByteArray& bytes, int offset) {
    T value{};
    if (offset + int(sizeof(T)) <= bytes.size())
        std::memcpy(&value, bytes.constData() + offset, sizeof(T));
    return value;
}

}  // namespace kavrin::test
