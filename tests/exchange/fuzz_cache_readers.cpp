// A libFuzzer target for the .vdb and .ply readers and the write-back that re-reads a source:
// the first byte of an input chooses the format, the rest is the file. A refusal (bin_error) is
// the expected answer to a bad file; whatever the sanitizer reports is a fault. Seeds are made
// at start in the corpus folder given first, when it is empty.

#include <cstdint>
#include <vector>

#include <unistd.h>

#include <QDir>
#include <QFile>

#include <openvdb/openvdb.h>
#include <openvdb/points/PointAttribute.h>
#include <openvdb/points/PointConversion.h>
#include <openvdb/points/PointGroup.h>

#include "dynamics/frame_set.h"
#include "exchange/cache_format.h"

namespace {

namespace vp = openvdb::points;

QString work_folder() {
    static const QString folder = [] {
        const QString f = QDir::tempPath() + "/kavrin_fuzz_" + QString::number(getpid());
        QDir().mkpath(f);
        return f;
    }();
    return folder;
}

void seed(const QString& folder, const QString& name, char format, const QByteArray& bytes) {
    QFile out(folder + "/" + name);
    if (out.open(QIODevice::WriteOnly)) out.write(QByteArray(1, format) + bytes);
}

QByteArray file_bytes(const QString& path) {
    QFile in(path);
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

// A point grid with the attribute kinds simulators write, beside a volume, on a shifted
// transform; the point positions in 16-bit fixed point.
QByteArray rich_vdb(uint32_t compression) {
    std::vector<openvdb::Vec3f> at;
    std::vector<int64_t> ids;
    std::vector<float> scales;
    std::vector<short> high;
    for (int i = 0; i < 64; ++i) {
        at.emplace_back(float(i % 4), float(i / 4 % 4) * 0.3f, float(i / 16));
        ids.push_back(i * 7);
        scales.push_back(0.5f + float(i) / 64.0f);
        high.push_back(i % 3 == 0);
    }
    auto xform = openvdb::math::Transform::createLinearTransform(0.37);
    xform->postTranslate(openvdb::Vec3d(0.1, 0.2, 0.3));
    const vp::PointAttributeVector<openvdb::Vec3f> where(at);
    auto index =
        openvdb::tools::createPointIndexGrid<openvdb::tools::PointIndexGrid>(where, *xform);
    auto grid = vp::createPointDataGrid<vp::FixedPointCodec<false>, vp::PointDataGrid>(
        *index, where, *xform);
    vp::appendAttribute<int64_t>(grid->tree(), "id");
    vp::populateAttribute(grid->tree(), index->tree(), "id",
                          vp::PointAttributeVector<int64_t>(ids));
    vp::appendAttribute<float, vp::TruncateCodec>(grid->tree(), "pscale");
    vp::populateAttribute(grid->tree(), index->tree(), "pscale",
                          vp::PointAttributeVector<float>(scales));
    vp::appendAttribute<openvdb::Vec3f>(grid->tree(), "v", openvdb::Vec3f(1, 2, 3));
    vp::appendGroup(grid->tree(), "high");
    vp::setGroup(grid->tree(), index->tree(), high, "high");
    grid->setName("fluid");
    auto density = openvdb::FloatGrid::create(0.0f);
    density->tree().setValue(openvdb::Coord(1, 2, 3), 0.5f);
    const QString path = work_folder() + "/seed.vdb";
    openvdb::io::File file(path.toStdString());
    file.setCompression(compression);
    file.write(openvdb::GridPtrVec{grid, density});
    file.close();
    return file_bytes(path);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    openvdb::initialize();
    QString corpus;
    for (int i = 1; i < *argc; ++i)
        if ((*argv)[i][0] != '-') {
            corpus = QString::fromLocal8Bit((*argv)[i]);
            break;
        }
    if (corpus.isEmpty() || !QDir(corpus).isEmpty()) return 0;
    using namespace openvdb::io;
    seed(corpus, "rich_none", 'v', rich_vdb(COMPRESS_NONE));
    seed(corpus, "rich_zip", 'v', rich_vdb(COMPRESS_ZIP | COMPRESS_ACTIVE_MASK));
    seed(corpus, "rich_blosc", 'v', rich_vdb(COMPRESS_BLOSC | COMPRESS_ACTIVE_MASK));
    const QByteArray head =
        "element vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
        "property int id\nproperty float pscale\nelement face 1\n"
        "property list uchar int vertex_indices\nend_header\n";
    seed(
        corpus, "ascii", 'p',
        "ply\nformat ascii 1.0\ncomment c\n" + head + "0 0 0 5 1\n1 0 0 6 2\n0 1 0 7 3\n3 0 1 2\n");
    QByteArray rows;
    for (int i = 0; i < 3; ++i) {
        const float v[5] = {float(i), 0.5f, -1.0f, 0.0f, 1.5f};
        rows.append(reinterpret_cast<const char*>(v), 12);
        const int32_t id = 10 + i;
        rows.append(reinterpret_cast<const char*>(&id), 4);
        rows.append(reinterpret_cast<const char*>(&v[4]), 4);
    }
    rows += QByteArray("\x03\0\0\0\0\x01\0\0\0\x02\0\0\0", 13);
    seed(corpus, "binary", 'p', "ply\nformat binary_little_endian 1.0\n" + head + rows);
    QByteArray swapped;
    for (int i = 0; i + 4 <= 60; i += 4)
        for (int k = 3; k >= 0; --k)
            swapped += rows[i + k];
    swapped += QByteArray("\x03\0\0\0\0\0\0\0\x01\0\0\0\x02", 13);
    seed(corpus, "big", 'p', "ply\nformat binary_big_endian 1.0\n" + head + swapped);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const QString path = work_folder() + (data[0] == 'p' ? "/in.ply" : "/in.vdb");
    {
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 0;
        out.write(reinterpret_cast<const char*>(data + 1), qint64(size - 1));
    }
    kavrin::frame_set fs(0, nullptr);
    try {
        kavrin::read_cache_file(path, fs, kavrin::position_order::file);
        // A file that reads is also written back, which reads it once more.
        kavrin::write_cache_file(work_folder() + (data[0] == 'p' ? "/out.ply" : "/out.vdb"), fs,
                                 path, kavrin::position_order::file);
    } catch (const kavrin::bin_error&) {
    }
    return 0;
}
