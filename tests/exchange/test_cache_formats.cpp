// The .vdb and .ply caches: round trips between the formats, write-back of what a file held,
// the channels a file offers, refusals, and Kavrin's output read by OpenVDB's own point API.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <random>

#include <QProcess>
#include <QTemporaryDir>

#include <openvdb/openvdb.h>
#include <openvdb/points/PointAttribute.h>
#include <openvdb/points/PointConversion.h>
#include <openvdb/points/PointDataGrid.h>
#include <openvdb/points/PointGroup.h>

#include "scene/emitter.h"
#include "exchange/cache_format.h"
#include "exchange/exchange_support.h"
#include "fake_window.h"

using namespace kavrin;
namespace vp = openvdb::points;

namespace {

struct values {
    vec3 position;
    float scale;
    bool operator==(const values& o) const { return position == o.position && scale == o.scale; }
};
using by_id = std::map<int32_t, values>;

by_id particles_of(const frame_set& fs) {
    by_id out;
    for (const auto& [id, p] : fs.particles)
        if (p.live()) out[id] = {p.position, p.scale};
    return out;
}

// The values of one point of a grid, by attribute name, as OpenVDB reads them.
struct vdb_point {
    openvdb::Vec3d world;
    std::map<std::string, std::vector<double>> attributes;
    std::vector<std::string> groups;
};

std::map<int64_t, vdb_point> points_of(const vp::PointDataGrid& grid) {
    std::map<int64_t, vdb_point> out;
    for (auto leaf = grid.tree().cbeginLeaf(); leaf; ++leaf) {
        const vp::AttributeSet& set = leaf->attributeSet();
        const auto& d = set.descriptor();
        for (auto it = leaf->beginIndexAll(); it; ++it) {
            vdb_point p;
            for (const auto& [name, at] : d.map()) {
                const vp::AttributeArray& a = *set.getConst(at);
                std::vector<double>& v = p.attributes[name];
                const std::string type = d.valueType(at);
                if (type == "vec3s") {
                    const auto x = vp::AttributeHandle<openvdb::Vec3f>(a).get(*it);
                    v = {x[0], x[1], x[2]};
                } else if (type == "float") {
                    v = {vp::AttributeHandle<float>(a).get(*it)};
                } else if (type == "double") {
                    v = {vp::AttributeHandle<double>(a).get(*it)};
                } else if (type == "int32") {
                    v = {double(vp::AttributeHandle<int32_t>(a).get(*it))};
                } else if (type == "int64") {
                    v = {double(vp::AttributeHandle<int64_t>(a).get(*it))};
                }
            }
            for (const auto& [name, at] : d.groupMap())
                if (vp::GroupHandle(leaf->groupHandle(name)).get(*it)) p.groups.push_back(name);
            p.world = grid.transform().indexToWorld(
                it.getCoord().asVec3d() +
                openvdb::Vec3d(vp::AttributeHandle<openvdb::Vec3f>(*set.getConst("P")).get(*it)));
            out[int64_t(p.attributes.at("id").at(0))] = p;
        }
    }
    return out;
}

openvdb::GridPtrVec grids_in(const QString& path) {
    openvdb::io::File file(path.toStdString());
    file.open(false);
    return *file.getGrids();
}

// One component of a channel's values as a double (the kinds the rich file holds).
double component(const record_channel& c, const char* at) {
    if (c.kind == 'f' && c.item_size == 4) {
        float v;
        std::memcpy(&v, at, 4);
        return v;
    }
    if (c.kind == 'f' || c.item_size == 8) {
        int64_t i;
        double d;
        std::memcpy(c.kind == 'f' ? static_cast<void*>(&d) : &i, at, 8);
        return c.kind == 'f' ? d : double(i);
    }
    if (c.item_size == 4) {
        int32_t v;
        std::memcpy(&v, at, 4);
        return v;
    }
    return double(uint8_t(*at));
}

class CacheFormats : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { openvdb::initialize(); }
    test::fake_window window;
    emitter e{true, &window};
    QTemporaryDir dir;
    int next = 0;

    QString path(const QString& name) const { return dir.path() + "/" + name; }
    frame_set& read(const QString& file, long long* dropped = nullptr) {
        frame_set& fs = e.add_frame(next++);
        const long long d = read_cache_file(file, fs, position_order::file);
        if (dropped) *dropped = d;
        return fs;
    }
    // A generated frame of n particles spread over many magnitudes, some ids negative.
    frame_set& generated(int n) {
        frame_set& fs = e.add_frame(next++);
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        for (int i = 0; i < n; ++i) {
            const float reach = std::pow(10.0f, float(i % 7) - 3.0f);
            const int32_t id = i % 5 == 0 ? -i : i * 3;
            fs.particles.try_emplace(id, id, vec3(u(rng) * reach, u(rng), u(rng) * 100.0f),
                                     0.5f + u(rng) * 0.25f);
        }
        return fs;
    }
};

// A point file with the kinds of attributes simulators write, on a transform that is neither
// a power of two nor centred, next to a volume grid, zip-compressed.
QString write_rich_vdb(const QString& path, int n) {
    std::vector<openvdb::Vec3f> positions;
    std::vector<int64_t> ids;
    std::vector<float> scales;
    std::vector<openvdb::Vec3f> velocities;
    std::vector<double> temperatures;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-5.0f, 5.0f);
    for (int i = 0; i < n; ++i) {
        positions.emplace_back(u(rng), u(rng), u(rng));
        ids.push_back(1000 + 3 * int64_t(n - i));
        scales.push_back(0.1f + 0.01f * float(i));
        velocities.emplace_back(float(i), -float(i), 0.5f);
        temperatures.push_back(300.0 + i / 7.0);
    }
    auto xform = openvdb::math::Transform::createLinearTransform(0.13);
    xform->postTranslate(openvdb::Vec3d(0.3, -1.0, 2.0));
    const vp::PointAttributeVector<openvdb::Vec3f> where(positions);
    auto index =
        openvdb::tools::createPointIndexGrid<openvdb::tools::PointIndexGrid>(where, *xform);
    auto grid = vp::createPointDataGrid<vp::FixedPointCodec<false>, vp::PointDataGrid>(
        *index, where, *xform);
    auto& tree = grid->tree();
    vp::appendAttribute<int64_t>(tree, "id");
    vp::populateAttribute(tree, index->tree(), "id", vp::PointAttributeVector<int64_t>(ids));
    vp::appendAttribute<float, vp::TruncateCodec>(tree, "pscale");
    vp::populateAttribute(tree, index->tree(), "pscale", vp::PointAttributeVector<float>(scales));
    vp::appendAttribute<openvdb::Vec3f>(tree, "v");
    vp::populateAttribute(tree, index->tree(), "v",
                          vp::PointAttributeVector<openvdb::Vec3f>(velocities));
    vp::appendAttribute<double>(tree, "temperature");
    vp::populateAttribute(tree, index->tree(), "temperature",
                          vp::PointAttributeVector<double>(temperatures));
    vp::appendAttribute<int32_t>(tree, "flags", 7);  // uniform
    vp::appendGroup(tree, "high");
    std::vector<short> high;
    for (const auto& p : positions)
        high.push_back(p[1] > 0.0f);
    vp::setGroup(tree, index->tree(), high, "high");
    grid->setName("fluid");
    grid->insertMeta("source", openvdb::StringMetadata("simulator"));

    auto density = openvdb::FloatGrid::create(0.0f);
    density->setName("density");
    density->tree().setValue(openvdb::Coord(1, 2, 3), 0.75f);
    openvdb::io::File file(path.toStdString());
    file.setCompression(openvdb::io::COMPRESS_ZIP);
    openvdb::MetaMap meta;
    meta.insertMeta("creator", openvdb::StringMetadata("test"));
    file.write(openvdb::GridPtrVec{grid, density}, meta);
    return path;
}

}  // namespace

// The records of a .bin file by particle id, every byte of each.
std::map<int32_t, QByteArray> records_of(const QString& file) {
    const QByteArray bytes = test::read_file(file);
    bin_header h;
    decode_bin_header(bytes.constData(), h);
    const bin_record_layout& l = *bin_layout(h.version);
    std::map<int32_t, QByteArray> out;
    for (int32_t r = 0; r < h.particles; ++r) {
        const QByteArray record = bytes.mid(bin_header_size + r * l.size, l.size);
        out[decode_bin_record(record.constData(), l).id] = record;
    }
    return out;
}

TEST_F(CacheFormats, ConversionsCarryEveryFieldOfTheBinRecordsExactly) {
    // A .bin whose records hold a distinct value in every field.
    const frame_set& start = generated(3000);
    write_cache_file(path("a.0.bin"), start, QString(), position_order::file);
    QByteArray bytes = test::read_file(path("a.0.bin"));
    const bin_record_layout& l = *bin_layout(bin_generated_version);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-100.0f, 100.0f);
    for (int r = 0; r < 3000; ++r) {
        char* record = bytes.data() + bin_header_size + r * l.size;
        for (int field : {l.velocity, l.force, l.vorticity, l.normal, l.texture})
            for (int k = 0; k < 3; ++k) {
                const float v = u(rng);
                std::memcpy(record + field + 4 * k, &v, 4);
            }
        for (int field : {l.elapsed, l.isolation, l.viscosity, l.density, l.mass, l.temperature}) {
            const float v = u(rng);
            std::memcpy(record + field, &v, 4);
        }
        const int32_t neighbours = r * 7 - 9000;
        const int16_t bits = int16_t(r - 1500);
        std::memcpy(record + l.neighbors, &neighbours, 4);
        std::memcpy(record + l.info_bits, &bits, 2);
    }
    test::write_file(path("a.0.bin"), bytes);
    const frame_set& bin = read(path("a.0.bin"));
    const auto want = records_of(path("a.0.bin"));
    for (const QString ext : {"vdb", "ply"}) {
        write_cache_file(path("b.0." + ext), bin, path("a.0.bin"), position_order::file);
        const frame_set& other = read(path("b.0." + ext));
        EXPECT_EQ(particles_of(other), particles_of(start)) << ext.toStdString();
        write_cache_file(path("c.0.bin"), other, path("b.0." + ext), position_order::file);
        EXPECT_TRUE(records_of(path("c.0.bin")) == want) << ext.toStdString();
        // Through the other format on the way, too.
        const QString third = ext == "vdb" ? "ply" : "vdb";
        write_cache_file(path("d.0." + third), other, path("b.0." + ext), position_order::file);
        write_cache_file(path("e.0.bin"), read(path("d.0." + third)), path("d.0." + third),
                         position_order::file);
        EXPECT_TRUE(records_of(path("e.0.bin")) == want)
            << ext.toStdString() << " then " << third.toStdString();
        EXPECT_TRUE(dropped_attributes(path("a.0.bin"), *parse_cache_format(ext)).empty());
    }
    // OpenVDB's own point API finds every field under its attribute name.
    QFile listing(path("listing.txt"));
    ASSERT_TRUE(listing.open(QIODevice::WriteOnly));
    listing.write(
        "P:vec3s id:int32 pscale:float Cd:vec3s Alpha:float v:vec3s force:vec3s "
        "vorticity:vec3s N:vec3s neighbors:int32 uv:vec3s info_bits:int32 age:float "
        "isolation_time:float viscosity:float density:float mass:float "
        "temperature:float\n");
    for (const auto& [id, bytes] : want) {
        const bin_record r = decode_bin_record(bytes.constData(), l);
        QStringList row;
        auto add = [&row](double v) {
            char text[40];
            std::snprintf(text, sizeof text, "%a", v);
            row << text;
        };
        for (int k = 0; k < 3; ++k)
            add(r.position[k]);
        add(id);
        add(r.pressure);
        for (double v : {1.0, 1.0, 1.0, 1.0})
            add(v);
        for (const vec3& v : {r.velocity, r.force, r.vorticity, r.normal})
            for (int k = 0; k < 3; ++k)
                add(v[k]);
        add(r.neighbors);
        for (int k = 0; k < 3; ++k)
            add(r.texture[k]);
        for (double v :
             {double(r.info_bits), double(r.elapsed), double(r.isolation), double(r.viscosity),
              double(r.density), double(r.mass), double(r.temperature)})
            add(v);
        listing.write((row.join(' ') + "\n").toUtf8());
    }
    listing.close();
    QProcess check;
    check.start(KAVRIN_VDB_CHECK, {path("b.0.vdb"), listing.fileName()});
    ASSERT_TRUE(check.waitForFinished(60000));
    EXPECT_EQ(check.exitCode(), 0) << check.readAllStandardError().toStdString();

    // Back to .bin, only what has no field is left out: the colour, the weight.
    EXPECT_EQ(dropped_attributes(path("b.0.vdb"), cache_format::bin),
              (std::vector<QString>{"Alpha", "Cd"}));
    EXPECT_EQ(dropped_attributes(path("b.0.ply"), cache_format::bin),
              (std::vector<QString>{"red", "green", "blue"}));
}

TEST_F(CacheFormats, VdbWriteBackKeepsEverythingButTheEdits) {
    const QString source = write_rich_vdb(path("rich.0001.vdb"), 400);
    frame_set& fs = read(source);
    ASSERT_EQ(fs.particles.size(), 400u);
    // Remove one particle, move and grow another.
    particle& gone = fs.particles.at(1000 + 3 * 10);
    gone.weight = 0.0f;
    particle& moved = fs.particles.at(1000 + 3 * 20);
    moved.position = moved.position + vec3(0.5f, 0.0f, 0.0f);
    moved.scale *= 2.0f;
    const QString out = path("out.0001.vdb");
    write_cache_file(out, fs, source, position_order::file);

    const openvdb::GridPtrVec before = grids_in(source), after = grids_in(out);
    ASSERT_EQ(after.size(), 2u);
    const auto in =
        openvdb::gridPtrCast<vp::PointDataGrid>(openvdb::findGridByName(before, "fluid"));
    const auto back =
        openvdb::gridPtrCast<vp::PointDataGrid>(openvdb::findGridByName(after, "fluid"));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->getName(), "fluid");
    EXPECT_EQ(back->transform(), in->transform());
    EXPECT_EQ(back->metaValue<std::string>("source"), "simulator");
    EXPECT_EQ(back->metaValue<std::string>("file_compression"), "zip");
    EXPECT_EQ(openvdb::gridPtrCast<openvdb::FloatGrid>(openvdb::findGridByName(after, "density"))
                  ->tree()
                  .getValue(openvdb::Coord(1, 2, 3)),
              0.75f);
    // Same attributes of the same types and codecs.
    const auto& d_in = in->tree().cbeginLeaf()->attributeSet().descriptor();
    const auto& d_out = back->tree().cbeginLeaf()->attributeSet().descriptor();
    EXPECT_EQ(d_out.map(), d_in.map());
    for (const auto& [name, at] : d_in.map()) {
        EXPECT_EQ(d_out.type(d_out.find(name)), d_in.type(at));
    }
    EXPECT_EQ(d_out.groupMap().size(), 1u);

    const auto was = points_of(*in), now = points_of(*back);
    EXPECT_EQ(now.size(), 399u);
    EXPECT_FALSE(now.count(gone.id));
    for (const auto& [id, p] : was) {
        if (id == gone.id) continue;
        ASSERT_TRUE(now.count(id));
        const vdb_point& q = now.at(id);
        auto attributes = p.attributes;
        if (id == moved.id) {
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(q.world[k], moved.position[k], 1e-4);
            EXPECT_NEAR(q.attributes.at("pscale")[0], moved.scale, 1e-3);  // a half float
            attributes["P"] = q.attributes.at("P");
            attributes["pscale"] = q.attributes.at("pscale");
        } else {
            EXPECT_EQ(q.world, p.world);
        }
        EXPECT_EQ(q.attributes, attributes) << id;
        EXPECT_EQ(q.groups, p.groups) << id;
    }
    // Written back and read again, the frame is what was edited.
    frame_set& again = read(out);
    by_id want = particles_of(fs);
    for (auto& [id, v] : particles_of(again)) {
        ASSERT_TRUE(want.count(id));
        if (id != moved.id) {
            EXPECT_EQ(v, want.at(id));
        }
    }
    EXPECT_EQ(particles_of(again).size(), 399u);
    const auto extra = dropped_attributes(source, cache_format::bin);
    // The velocity and temperature go into the .bin fields of those names.
    EXPECT_EQ(extra, (std::vector<QString>{"flags", "high"}));
}

TEST_F(CacheFormats, VdbChannelsGiveEveryPointsValuesAsOpenVdbReadsThem) {
    const QString source = write_rich_vdb(path("rich.0001.vdb"), 300);
    const frame_set& fs = read(source);
    const auto want = points_of(*openvdb::gridPtrCast<vp::PointDataGrid>(
        openvdb::findGridByName(grids_in(source), "fluid")));
    EXPECT_EQ(read_record_channel(source, "none").names,
              (std::vector<QString>{"P", "id", "pscale", "v", "temperature", "flags", "high"}));
    for (const char* name : {"id", "pscale", "v", "temperature", "flags", "high"}) {
        const record_channels read = read_record_channel(source, name);
        ASSERT_TRUE(read.found) << name;
        const record_channel& c = *read.found;
        ASSERT_EQ(read.ids.size(), fs.particles.size());
        for (const auto& [id, p] : fs.particles) {
            ASSERT_EQ(read.ids[size_t(p.record)], id);
            const vdb_point& point = want.at(id);
            const char* at = c.values.constData() + qsizetype(p.record) * c.record_size();
            std::vector<double> got;
            for (int k = 0; k < c.width; ++k, at += c.item_size)
                got.push_back(component(c, at));
            if (std::string(name) == "high")
                EXPECT_EQ(got, std::vector<double>{double(!point.groups.empty())}) << id;
            else
                EXPECT_EQ(got, point.attributes.at(name)) << name << " " << id;
        }
    }
    EXPECT_EQ(read_record_channel(source, "pscale").found->role, channel_role::scale);
    EXPECT_EQ(read_record_channel(source, "P").found->role, channel_role::position);
}

TEST_F(CacheFormats, VdbRefusesWhatItCannotTakeAndNeverCrashes) {
    auto refused = [&](const QString& file, const char* says) {
        frame_set& fs = e.add_frame(next++);
        try {
            read_cache_file(file, fs, position_order::file);
            ADD_FAILURE() << "read " << file.toStdString();
        } catch (const bin_error& err) {
            EXPECT_NE(std::string(err.what()).find(file.toStdString()), std::string::npos);
            EXPECT_NE(std::string(err.what()).find(says), std::string::npos) << err.what();
        }
        EXPECT_TRUE(fs.particles.empty());
    };
    {
        auto volume = openvdb::FloatGrid::create();
        volume->setName("density");
        openvdb::io::File(path("volume.vdb").toStdString()).write(openvdb::GridPtrVec{volume});
        refused(path("volume.vdb"), "no point data grid, only density");
    }
    std::vector<openvdb::Vec3f> at{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    auto make = [&](const QString& name, std::vector<int64_t> ids) {
        const auto xform = openvdb::math::Transform::createLinearTransform(0.5);
        const vp::PointAttributeVector<openvdb::Vec3f> where(at);
        auto index =
            openvdb::tools::createPointIndexGrid<openvdb::tools::PointIndexGrid>(where, *xform);
        auto grid =
            vp::createPointDataGrid<vp::NullCodec, vp::PointDataGrid>(*index, where, *xform);
        vp::appendAttribute<int64_t>(grid->tree(), "id");
        vp::populateAttribute(grid->tree(), index->tree(), "id",
                              vp::PointAttributeVector<int64_t>(ids));
        openvdb::io::File(path(name).toStdString()).write(openvdb::GridPtrVec{grid});
        return path(name);
    };
    refused(make("wide.vdb", {1, int64_t(1) << 40, 3}), "does not fit in 32 bits");
    long long dropped = 0;
    const frame_set& twice = read(make("twice.vdb", {4, 4, 5}), &dropped);
    EXPECT_EQ(dropped, 1);
    EXPECT_EQ(twice.particles.size(), 2u);
    EXPECT_EQ(twice.particles.at(4).position, vec3(0, 0, 0));  // the first wins

    // Cut short or with bytes of its point data changed, a file is read or refused, never more.
    // (Changed lengths in the metadata up front make the library allocate what they say before
    // it fails: that is left to the fuzz run.)
    const QByteArray whole = test::read_file(write_rich_vdb(path("whole.vdb"), 200));
    std::mt19937 rng(11);
    int refusals = 0;
    for (int round = 0; round < 60; ++round) {
        QByteArray bytes = whole;
        if (round % 2 == 0) {
            bytes.truncate(int(rng() % uint32_t(whole.size())));
        } else {
            for (int k = 0; k < 4; ++k)
                bytes[bytes.size() / 2 + int(rng() % uint32_t(bytes.size() / 2))] = char(rng());
        }
        test::write_file(path("damaged.vdb"), bytes);
        frame_set& fs = e.add_frame(next++);
        try {
            read_cache_file(path("damaged.vdb"), fs, position_order::file);
        } catch (const bin_error&) {
            ++refusals;
        }
    }
    EXPECT_GE(refusals, 30);  // every cut file at least
}

TEST_F(CacheFormats, AnOutsideReaderSeesEveryAttributeOfAGeneratedVdb) {
    frame_set& fs = generated(500);
    int k = 0;
    for (auto& [id, p] : fs.particles) {
        p.shade = float(k % 10) / 8.0f;  // a few beyond 1: the colour is clamped
        p.weight = k % 9 == 0 ? 0.0f : 1.0f - float(k % 4) / 8.0f;
        ++k;
    }
    const QString out = path("gen.0001.vdb");
    write_cache_file(out, fs, QString(), position_order::file);
    QFile listing(path("listing.txt"));
    ASSERT_TRUE(listing.open(QIODevice::WriteOnly));
    listing.write("P:vec3s id:int32 pscale:float Cd:vec3s Alpha:float\n");
    for (const auto& [id, p] : fs.particles) {
        if (!p.live()) continue;
        const float grey = std::clamp(p.shade, 0.0f, 1.0f);
        char line[400];
        std::snprintf(line, sizeof line, "%a %a %a %d %a %a %a %a %a\n", double(p.position[0]),
                      double(p.position[1]), double(p.position[2]), id, double(p.scale),
                      double(grey), double(grey), double(grey), double(p.weight));
        listing.write(line);
    }
    listing.close();
    QProcess check;
    check.start(KAVRIN_VDB_CHECK, {out, listing.fileName()});
    ASSERT_TRUE(check.waitForFinished(60000));
    EXPECT_EQ(check.exitCode(), 0) << check.readAllStandardError().toStdString();
}

TEST_F(CacheFormats, PlyWriteBackKeepsPropertiesAndFollowsFacesOfBigEndianFiles) {
    // Four vertices (x, y, z, id, pscale, confidence) and two faces, big-endian.
    QByteArray bytes =
        "ply\nformat binary_big_endian 1.0\ncomment from a scanner\nelement vertex 4\n"
        "property float x\nproperty float y\nproperty float z\nproperty int id\n"
        "property float pscale\nproperty uchar confidence\nelement face 2\n"
        "property list uchar int vertex_indices\nend_header\n";
    auto be = [&bytes](const void* v, int n) {
        for (int i = n - 1; i >= 0; --i)
            bytes += static_cast<const char*>(v)[i];
    };
    for (int i = 0; i < 4; ++i) {
        const float xyz[3] = {float(i) * 0.1f, 1.0f / 3.0f, -2.5f};
        for (float c : xyz)
            be(&c, 4);
        const int32_t id = 40 - i;
        be(&id, 4);
        const float s = 1.5f + float(i);
        be(&s, 4);
        bytes += char(200 + i);
    }
    for (const auto& face : {std::vector<int32_t>{0, 1, 2}, std::vector<int32_t>{1, 2, 3}}) {
        bytes += char(face.size());
        for (int32_t v : face)
            be(&v, 4);
    }
    test::write_file(path("scan.1.ply"), bytes);
    frame_set& fs = read(path("scan.1.ply"));
    ASSERT_EQ(fs.particles.size(), 4u);
    EXPECT_EQ(fs.particles.at(39).position, vec3(0.1f, 1.0f / 3.0f, -2.5f));
    EXPECT_EQ(fs.particles.at(38).scale, 3.5f);
    fs.particles.at(40).weight = 0.0f;  // vertex 0: the first face goes with it
    fs.particles.at(37).position = vec3(9.0f, 8.0f, 7.0f);
    write_cache_file(path("out.1.ply"), fs, path("scan.1.ply"), position_order::file);

    const QByteArray out = test::read_file(path("out.1.ply"));
    const QByteArray head =
        "ply\nformat binary_little_endian 1.0\ncomment from a scanner\nelement vertex 3\n"
        "property float x\nproperty float y\nproperty float z\nproperty int id\n"
        "property float pscale\nproperty uchar confidence\nelement face 1\n"
        "property list uchar int vertex_indices\nend_header\n";
    ASSERT_TRUE(out.startsWith(head));
    const char* row = out.constData() + head.size();
    for (int v = 0; v < 3; ++v, row += 21) {
        int32_t id;
        std::memcpy(&id, row + 12, 4);
        EXPECT_EQ(id, 39 - v);
        EXPECT_EQ(uint8_t(row[20]), 201 + v);  // passed through
    }
    float moved_x;
    std::memcpy(&moved_x, out.constData() + head.size() + 2 * 21, 4);
    EXPECT_EQ(moved_x, 9.0f);
    int32_t face[3];
    ASSERT_EQ(row[0], 3);
    std::memcpy(face, row + 1, 12);
    EXPECT_EQ(std::vector<int32_t>(face, face + 3), (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(out.size(), head.size() + 3 * 21 + 13);
}

TEST_F(CacheFormats, PlyAsciiKeepsItsTextAndRefusesBadFiles) {
    const QByteArray text =
        "ply\nformat ascii 1.0\nelement vertex 3\nproperty double x\nproperty double y\n"
        "property double z\nproperty float scale\nproperty int label\nend_header\n"
        "0.1 0.2 0.30000000000000004 2 7\n1 2 3 0.5 8\n-1e-3 4 5 1 9\n";
    test::write_file(path("pts.1.ply"), text);
    frame_set& fs = read(path("pts.1.ply"));
    ASSERT_EQ(fs.particles.size(), 3u);  // ids are the rows
    EXPECT_EQ(fs.particles.at(1).scale, 0.5f);
    fs.particles.at(2).position = vec3(0.25f, 4.0f, 5.0f);
    write_cache_file(path("out.1.ply"), fs, path("pts.1.ply"), position_order::file);
    EXPECT_EQ(test::read_file(path("out.1.ply")),
              text.left(text.indexOf("-1e-3")) + "0.25 4 5 1 9\n");
    EXPECT_EQ(dropped_attributes(path("pts.1.ply"), cache_format::vdb),
              std::vector<QString>{"label"});

    for (const QByteArray& bad :
         {QByteArray("ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\nend_header\n"),
          QByteArray("ply\nformat binary_little_endian 1.0\nelement vertex 1000000000\n"
                     "property float x\nproperty float y\nproperty float z\nend_header\n"),
          QByteArray("ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\n"
                     "property float y\nproperty float z\nend_header\n1 2 nan\n"),
          QByteArray("ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\n"
                     "property float y\nproperty float z\nproperty uint id\nend_header\n"
                     "1 2 3 4000000000\n"),
          QByteArray("ply\nformat ascii 2.0\nend_header\n")}) {
        test::write_file(path("bad.ply"), bad);
        frame_set& broken = e.add_frame(next++);
        EXPECT_THROW(read_cache_file(path("bad.ply"), broken, position_order::file), bin_error)
            << bad.toStdString();
        EXPECT_TRUE(broken.particles.empty());
    }
}

TEST_F(CacheFormats, EveryReaderRefusesPositionsBeyondTheSceneLimitByName) {
    const float huge = std::numeric_limits<float>::max();
    for (const QString ext : {"bin", "vdb", "ply"}) {
        for (const float x : {position_limit, -position_limit, huge, -huge}) {
            frame_set& written = e.add_frame(next++);
            written.particles.try_emplace(1, 1, vec3(0.5f, 2.0f, -3.0f), 1.0f);
            written.particles.try_emplace(2, 2, vec3(x, -x, 0.25f), 1.0f);
            const QString file = path("limit." + QString::number(next) + "." + ext);
            write_cache_file(file, written, QString(), position_order::file);
            frame_set& fs = e.add_frame(next++);
            if (std::fabs(x) <= position_limit) {
                read_cache_file(file, fs, position_order::file);
                EXPECT_EQ(particles_of(fs), particles_of(written)) << file.toStdString();
                continue;
            }
            try {
                read_cache_file(file, fs, position_order::file);
                ADD_FAILURE() << "read " << file.toStdString();
            } catch (const bin_error& err) {
                EXPECT_EQ(err.file, file);
                const std::string says = err.what();
                for (const std::string& part : std::vector<std::string>{
                         file.toStdString(), "frame " + std::to_string(fs.frame), "8.50706e+37"})
                    EXPECT_NE(says.find(part), std::string::npos) << says;
            }
            EXPECT_TRUE(fs.particles.empty());
        }
    }
}
