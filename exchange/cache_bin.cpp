#include "exchange/cache_bin.h"

#include <cmath>
#include <cstring>
#include <vector>

#include <QCryptographicHash>
#include <QFile>

#include "exchange/cache_records.h"

namespace kavrin {

namespace {

constexpr qint64 header_size = 356;
constexpr int32_t bin_code = 0x00FABADA;

// Where the fields the reader uses sit in a record of each version.
struct record_layout {
    int size;
    int pressure, mass, id;
    bool wide_id;  // an unsigned 64-bit id, refused beyond int32
};

bool layout_of(int version, record_layout& out) {
    if (version == 7 || version == 8)
        out = {98, 82, 86, 94, false};
    else if (version >= 9 && version <= 11)
        out = {110, 94, 98, 106, false};
    else if (version == 12 || version == 13)
        out = {114, 94, 98, 106, true};
    else
        return false;
    return true;
}

template <class T>
T read_at(const char* bytes, int offset) {
    T value;
    std::memcpy(&value, bytes + offset, sizeof value);  // records are packed: unaligned fields
    return value;
}

}  // namespace

bool shipped_script_library(const script_folders& folders) {
    QFile module(folders.python_dir + "/shared_lib.py");
    if (!module.open(QIODevice::ReadOnly)) return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&module)) return false;
    return hash.result().toHex() == QByteArray(KAVRIN_SHARED_LIB_SHA256);
}

bool read_bin_natively(const QString& path, frame_set& fs, long long& dropped) {
    static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "cache files are little-endian");
    if (!fs.particles.empty()) return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    char head[header_size];
    if (file.read(head, header_size) != header_size) return false;
    record_layout layout;
    const int32_t count = read_at<int32_t>(head, 276);
    if (read_at<int32_t>(head, 0) != bin_code || !layout_of(read_at<int16_t>(head, 254), layout) ||
        count < 0 || file.size() < header_size + qint64(count) * layout.size)
        return false;
    const int32_t fluid = read_at<int32_t>(head, 260);

    // The frame is filled as it is read, in the order the set point's reading fills it (so its
    // map ends up ordered alike); a failure part way empties it again, and the script library
    // then reads the file (and names what is wrong with it).
    dropped = 0;
    auto give_up = [&fs, &dropped] {
        fs.particles.clear();
        dropped = 0;
        return false;
    };
    constexpr int chunk = 8192;
    std::vector<char> records(size_t(chunk) * size_t(layout.size));
    for (int32_t done = 0; done < count;) {
        const int n = std::min(chunk, count - done);
        const qint64 bytes = qint64(n) * layout.size;
        if (file.read(records.data(), bytes) != bytes) return give_up();
        for (int r = 0; r < n; ++r) {
            const char* record = records.data() + size_t(r) * size_t(layout.size);
            int32_t id;
            if (layout.wide_id) {
                const uint64_t wide = read_at<uint64_t>(record, layout.id);
                if (wide > 2147483647u) return give_up();
                id = int32_t(wide);
            } else {
                id = read_at<int32_t>(record, layout.id);
            }
            float value = 1.0f;
            if (fluid == fluid_type_mass)
                value = read_at<float>(record, layout.mass);
            else if (fluid == fluid_type_pressure)
                value = read_at<float>(record, layout.pressure);
            // The file stores x, y, z in reverse. Values that are not finite are refused by the
            // script library, which then names them; the first record of an id wins.
            const vec3 position(read_at<float>(record, 8), read_at<float>(record, 4),
                                read_at<float>(record, 0));
            if (!std::isfinite(position[0]) || !std::isfinite(position[1]) ||
                !std::isfinite(position[2]) || !std::isfinite(value))
                return give_up();
            if (!fs.particles.try_emplace(id, id, position, value).second) ++dropped;
        }
        done += n;
    }
    return true;
}

}  // namespace kavrin
