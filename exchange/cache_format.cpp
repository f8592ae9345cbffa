#include "exchange/cache_format.h"

#include <algorithm>

#include <QFile>
#include <QFileInfo>

#include "exchange/ply_file.h"
#include "exchange/vdb_file.h"

namespace kavrin {

namespace {

// What the file a frame was read from holds beyond position, id and scale.
source_channels channels_of(const QString& source, const frame_set& fs) {
    switch (cache_format_of(source).value_or(cache_format::bin)) {
        case cache_format::vdb:
            return vdb_channels(source, fs);
        case cache_format::ply:
            return ply_channels(source, fs);
        case cache_format::bin:
            break;
    }
    return bin_channels(source, fs);
}

}  // namespace

const std::vector<cache_format>& cache_formats() {
    static const std::vector<cache_format> all{cache_format::bin, cache_format::vdb,
                                               cache_format::ply};
    return all;
}

QString format_name(cache_format format) {
    switch (format) {
        case cache_format::vdb:
            return "vdb";
        case cache_format::ply:
            return "ply";
        case cache_format::bin:
            break;
    }
    return "bin";
}

std::optional<cache_format> parse_cache_format(const QString& name) {
    for (cache_format f : cache_formats())
        if (name == format_name(f)) return f;
    return std::nullopt;
}

std::optional<cache_format> format_in_name(const QString& file_name, int* at) {
    std::optional<cache_format> found;
    int first = -1;
    for (cache_format f : cache_formats()) {
        const int i = file_name.indexOf("." + format_name(f));
        if (i >= 0 && (first < 0 || i < first)) {
            first = i;
            found = f;
        }
    }
    if (at) *at = first;
    return found;
}

std::optional<cache_format> cache_format_of(const QString& path) {
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray head = file.read(8);
        if (head.startsWith(QByteArray("\xDA\xBA\xFA\x00", 4))) return cache_format::bin;
        if (head.startsWith(QByteArray(" BDV\0\0\0\0", 8))) return cache_format::vdb;
        if (head.startsWith("ply\n") || head.startsWith("ply\r\n")) return cache_format::ply;
    }
    return format_in_name(QFileInfo(path).fileName());
}

long long read_cache_file(const QString& path, frame_set& fs, position_order order) {
    switch (cache_format_of(path).value_or(cache_format::bin)) {
        case cache_format::vdb:
            return read_vdb_frame(path, fs, order);
        case cache_format::ply:
            return read_ply_frame(path, fs, order);
        case cache_format::bin:
            break;
    }
    return read_bin_frame(path, fs, order);
}

void write_cache_file(const QString& target, const frame_set& fs, const QString& source,
                      position_order order) {
    if (fs.source_records >= 0 && source.isEmpty())
        throw bin_error("frame " + std::to_string(fs.frame) +
                        " was read from a cache file that is no longer known");
    const cache_format format =
        format_in_name(QFileInfo(target).fileName()).value_or(cache_format::bin);
    const bool same = fs.source_records >= 0 && cache_format_of(source) == format;
    const QString from = same ? source : QString();
    // A conversion takes along what both formats hold.
    std::optional<source_channels> carried;
    if (fs.source_records >= 0 && !same) carried = channels_of(source, fs);
    const source_channels* with = carried ? &*carried : nullptr;
    switch (format) {
        case cache_format::vdb:
            return write_vdb_frame(target, fs, from, order, with);
        case cache_format::ply:
            return write_ply_frame(target, fs, from, order, with);
        case cache_format::bin:
            break;
    }
    write_bin_frame(target, fs, from, order, with);
}

record_channels read_record_channel(const QString& path, const QString& name) {
    switch (cache_format_of(path).value_or(cache_format::bin)) {
        case cache_format::vdb:
            return read_vdb_channel(path, name);
        case cache_format::ply:
            return read_ply_channel(path, name);
        case cache_format::bin:
            break;
    }
    return read_bin_channel(path, name);
}

std::vector<QString> dropped_attributes(const QString& source, cache_format target) {
    const std::optional<cache_format> from = cache_format_of(source);
    // Every field of a .bin record has its attribute or property in the other formats.
    if (!from || *from == target || *from == cache_format::bin) return {};
    try {
        std::vector<QString> names = *from == cache_format::vdb
                                         ? vdb_extra_attributes(source, false)
                                         : ply_extra_attributes(source, false);
        // A .bin written from another format holds the scale in its pressure field.
        if (target == cache_format::bin) {
            const std::vector<QString> all = *from == cache_format::vdb
                                                 ? vdb_extra_attributes(source, true)
                                                 : ply_extra_attributes(source, true);
            if (std::find(all.begin(), all.end(), "pressure") != all.end() &&
                std::find(names.begin(), names.end(), "pressure") == names.end())
                names.insert(names.begin(), "pressure");
        }
        return names;
    } catch (const bin_error&) {
        return {};  // a file that cannot be read fails its frame's save, which says why
    }
}

}  // namespace kavrin
