#include "exchange/vdb_file.h"

#include <algorithm>
#include <cmath>
#include <istream>
#include <limits>
#include <mutex>
#include <optional>
#include <streambuf>

#include <QFile>

#include <openvdb/io/File.h>
#include <openvdb/io/Stream.h>
#include <openvdb/openvdb.h>
#include <openvdb/points/AttributeArrayString.h>
#include <openvdb/points/AttributeGroup.h>
#include <openvdb/points/PointAttribute.h>
#include <openvdb/points/PointConversion.h>
#include <openvdb/points/PointDataGrid.h>
#include <openvdb/tools/PointIndexGrid.h>

#include "scene/stroke_log.h"
#include "exchange/file_beside.h"

namespace kavrin {

namespace {

namespace vp = openvdb::points;
using leaf_type = vp::PointDataTree::LeafNodeType;
constexpr size_t absent = vp::AttributeSet::INVALID_POS;

void start_library() {
    static std::once_flag once;
    std::call_once(once, [] { openvdb::initialize(); });
}

[[noreturn]] void refuse(const QString& path, const QString& check) {
    throw bin_error(path, check);
}

// The bytes of a file as a stream that gives zeros for a while past their end and remembers it:
// the library reads a cut file's missing lengths as zeros instead of as whatever the memory
// held, which could ask for gigabytes.
class padded_bytes : public std::streambuf {
  public:
    explicit padded_bytes(QByteArray bytes) : bytes_(std::move(bytes)) {
        char* b = bytes_.data();
        setg(b, b, b + bytes_.size());
    }
    bool overrun() const { return given_ > 0; }

  protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        if (given_ >= padding_limit) return traits_type::eof();
        given_ += zeros_.size();
        setg(zeros_.data(), zeros_.data(), zeros_.data() + zeros_.size());
        return 0;
    }

  private:
    static constexpr size_t padding_limit = 1 << 20;
    QByteArray bytes_;
    std::vector<char> zeros_ = std::vector<char>(1 << 16, 0);
    size_t given_ = 0;
};

// The first point data grid of a file, with everything else the file holds, checked so that
// every leaf can be read with the handles below.
struct vdb_source {
    openvdb::GridPtrVec grids;
    openvdb::MetaMap::Ptr file_meta;
    size_t grid_at = 0;
    vp::PointDataGrid::Ptr points;
    std::vector<const leaf_type*> leaves;
    std::vector<int32_t> starts;  // record of each leaf's first point
    int32_t count = 0;
    size_t p_at = absent, id_at = absent, scale_at = absent;
    bool wide_id = false, double_scale = false;
};

vdb_source load(const QString& path) {
    start_library();
    vdb_source s;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) refuse(path, "cannot be opened: " + file.errorString());
    padded_bytes bytes(file.readAll());
    try {
        std::istream in(&bytes);
        // Read whole, in the file's order: a damaged file fails here, not later in a handle.
        openvdb::io::Stream stream(in, false);
        s.file_meta = stream.getMetadata();
        s.grids = *stream.getGrids();
    } catch (const std::exception& e) {
        refuse(path, QString("cannot be read as OpenVDB: ") + e.what());
    }
    if (bytes.overrun()) refuse(path, "truncated");
    QStringList others;
    for (size_t i = 0; i < s.grids.size() && !s.points; ++i) {
        if (!s.grids[i]) continue;
        s.points = openvdb::gridPtrCast<vp::PointDataGrid>(s.grids[i]);
        if (s.points)
            s.grid_at = i;
        else
            others << QString::fromStdString(s.grids[i]->getName() + " (" + s.grids[i]->type() +
                                             ")");
    }
    if (!s.points)
        refuse(path, "holds no point data grid" +
                         (others.isEmpty() ? QString() : ", only " + others.join(", ")));
    const openvdb::math::Transform& xform = s.points->transform();
    if (!xform.isLinear()) refuse(path, "the point grid's transform is not linear");

    long long total = 0;
    const vp::AttributeSet* first = nullptr;
    for (auto leaf = s.points->constTree().cbeginLeaf(); leaf; ++leaf) {
        const vp::AttributeSet& set = leaf->attributeSet();
        try {
            leaf->validateOffsets();
        } catch (const std::exception& e) {
            refuse(path, QString("damaged leaf at (%1, %2, %3): %4")
                             .arg(leaf->origin().x())
                             .arg(leaf->origin().y())
                             .arg(leaf->origin().z())
                             .arg(e.what()));
        }
        if (!first) {
            first = &set;
        } else if (set.descriptor() != first->descriptor()) {
            refuse(path, "the point grid's leaves hold different attributes");
        }
        if (set.size() != first->descriptor().size()) refuse(path, "damaged attribute set");
        for (size_t a = 0; a < set.size(); ++a) {
            const vp::AttributeArray* array = set.getConst(a);
            if (!array) refuse(path, "damaged attribute set");
            if (!array->hasConstantStride())
                refuse(path, "attribute " + QString::fromStdString(set.descriptor().valueType(a)) +
                                 " of variable length is not read");
            if (array->stride() != first->getConst(a)->stride() ||
                array->size() != leaf->pointCount())
                refuse(path, "the point grid's leaves hold attributes of different shapes");
        }
        s.starts.push_back(int32_t(total));
        s.leaves.push_back(&*leaf);
        total += leaf->pointCount();
        if (total > std::numeric_limits<int32_t>::max())
            refuse(path, "more points than a frame can hold");
    }
    s.count = int32_t(total);
    if (!first) return s;

    const vp::AttributeSet::Descriptor& d = first->descriptor();
    s.p_at = d.find("P");
    if (s.p_at == absent || d.valueType(s.p_at) != "vec3s" ||
        first->getConst(s.p_at)->stride() != 1)
        refuse(path, "the point grid has no position attribute P of type vec3s");
    s.id_at = d.find("id");
    if (s.id_at != absent) {
        const std::string type = d.valueType(s.id_at);
        if ((type != "int32" && type != "int64") || first->getConst(s.id_at)->stride() != 1)
            refuse(path, QString::fromStdString("attribute id has type " + type +
                                                ": int32 or int64 is read"));
        s.wide_id = type == "int64";
    }
    s.scale_at = d.find("pscale");
    if (s.scale_at != absent) {
        const std::string type = d.valueType(s.scale_at);
        if ((type != "float" && type != "double") || first->getConst(s.scale_at)->stride() != 1)
            refuse(path, QString::fromStdString("attribute pscale has type " + type +
                                                ": float or double is read"));
        s.double_scale = type == "double";
    }
    return s;
}

// The points of one leaf as the reader sees them.
class leaf_reader {
  public:
    leaf_reader(const vdb_source& s, const leaf_type& leaf)
        : xform_(s.points->transform()), p_(leaf.constAttributeArray(s.p_at)) {
        if (s.id_at != absent) {
            if (s.wide_id)
                wide_.emplace(leaf.constAttributeArray(s.id_at));
            else
                narrow_.emplace(leaf.constAttributeArray(s.id_at));
        }
        if (s.scale_at != absent) {
            if (s.double_scale)
                dscale_.emplace(leaf.constAttributeArray(s.scale_at));
            else
                fscale_.emplace(leaf.constAttributeArray(s.scale_at));
        }
    }
    // The id, or the record when the file has none; a wide id beyond int32 is refused.
    int32_t id(openvdb::Index i, int32_t record, const QString& path) const {
        if (narrow_) return narrow_->get(i);
        if (!wide_) return record;
        const int64_t v = wide_->get(i);
        if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
            refuse(
                path,
                QString("particle id %1 of point %2 does not fit in 32 bits").arg(v).arg(record));
        return int32_t(v);
    }
    vec3 position(const openvdb::Coord& voxel, openvdb::Index i) const {
        const openvdb::Vec3d w = xform_.indexToWorld(voxel.asVec3d() + openvdb::Vec3d(p_.get(i)));
        return vec3(float(w[0]), float(w[1]), float(w[2]));
    }
    float scale(openvdb::Index i) const {
        if (fscale_) return fscale_->get(i);
        if (dscale_) return float(dscale_->get(i));
        return 1.0f;
    }

  private:
    const openvdb::math::Transform& xform_;
    vp::AttributeHandle<openvdb::Vec3f> p_;
    std::optional<vp::AttributeHandle<int32_t>> narrow_;
    std::optional<vp::AttributeHandle<int64_t>> wide_;
    std::optional<vp::AttributeHandle<float>> fscale_;
    std::optional<vp::AttributeHandle<double>> dscale_;
};

// Calls visit(voxel, index in leaf, record) for every point of the source in record order.
template <class Visit>
void each_point(const vdb_source& s, Visit visit) {
    for (size_t l = 0; l < s.leaves.size(); ++l) {
        const leaf_reader reader(s, *s.leaves[l]);
        for (auto it = s.leaves[l]->beginIndexAll(); it; ++it)
            visit(l, reader, it.getCoord(), *it, s.starts[l] + int32_t(*it));
    }
}

bool finite(const vec3& v) {
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

// One point of the written grid: where it goes and where its values come from.
struct placed {
    openvdb::Coord voxel;
    uint32_t leaf;         // source leaf
    openvdb::Index index;  // in that leaf
    const particle* p;
    bool moved;     // the position changed since it was read
    bool rescaled;  // the scale did
};

// Source and target indices of the points one target leaf takes from one source leaf.
struct copy_pairs {
    const std::pair<openvdb::Index, openvdb::Index>* at;
    const std::pair<openvdb::Index, openvdb::Index>* end;
    explicit operator bool() const { return at != end; }
    copy_pairs& operator++() {
        ++at;
        return *this;
    }
    openvdb::Index sourceIndex() const { return at->first; }
    openvdb::Index targetIndex() const { return at->second; }
};

uint32_t compression_of(const openvdb::GridBase& grid) {
    const auto meta = grid.getMetadata<openvdb::StringMetadata>("file_compression");
    if (!meta) return openvdb::io::COMPRESS_ACTIVE_MASK | openvdb::io::COMPRESS_BLOSC;
    const std::string& text = meta->value();
    uint32_t flags = openvdb::io::COMPRESS_NONE;
    if (text.find("blosc") != std::string::npos) flags |= openvdb::io::COMPRESS_BLOSC;
    if (text.find("zip") != std::string::npos) flags |= openvdb::io::COMPRESS_ZIP;
    if (text.find("active values") != std::string::npos) flags |= openvdb::io::COMPRESS_ACTIVE_MASK;
    return flags;
}

// Fills target leaves from the placed points (sorted by target leaf and voxel).
void build_leaves(const vdb_source& s, std::vector<placed>& points, vp::PointDataTree& tree,
                  position_order order) {
    const openvdb::math::Transform& xform = s.points->transform();
    const vp::AttributeSet& model = s.leaves.front()->attributeSet();
    std::vector<std::pair<openvdb::Index, openvdb::Index>> pairs;
    std::vector<std::pair<uint32_t, size_t>> by_source;
    for (size_t begin = 0; begin < points.size();) {
        const openvdb::Coord origin = points[begin].voxel & ~(leaf_type::DIM - 1);
        size_t end = begin;
        while (end < points.size() && (points[end].voxel & ~(leaf_type::DIM - 1)) == origin)
            ++end;
        const openvdb::Index n = openvdb::Index(end - begin);
        leaf_type* leaf = tree.touchLeaf(origin);
        std::vector<openvdb::Index> counts(leaf_type::SIZE, 0);
        for (size_t k = begin; k < end; ++k)
            ++counts[leaf_type::coordToOffset(points[k].voxel)];
        std::vector<vp::PointDataTree::ValueType> offsets(leaf_type::SIZE);
        for (size_t v = 0, sum = 0; v < offsets.size(); ++v) {
            sum += counts[v];
            offsets[v] = vp::PointDataTree::ValueType(openvdb::Index32(sum));
        }
        leaf->setOffsets(offsets);
        leaf->replaceAttributeSet(new vp::AttributeSet(model, n), true);

        // Copied a source leaf at a time: the library copies any type by its storage.
        by_source.clear();
        for (size_t k = begin; k < end; ++k)
            by_source.emplace_back(points[k].leaf, k - begin);
        std::sort(by_source.begin(), by_source.end());
        for (size_t a = 0; a < model.size(); ++a) {
            vp::AttributeArray& to = leaf->attributeArray(a);
            for (size_t g = 0; g < by_source.size();) {
                const uint32_t from = by_source[g].first;
                pairs.clear();
                for (; g < by_source.size() && by_source[g].first == from; ++g)
                    pairs.emplace_back(points[begin + by_source[g].second].index,
                                       openvdb::Index(by_source[g].second));
                to.copyValues(*s.leaves[from]->attributeSet().getConst(a),
                              copy_pairs{pairs.data(), pairs.data() + pairs.size()}, false);
            }
        }
        // The edits: positions of moved points, every scale that changed.
        vp::AttributeWriteHandle<openvdb::Vec3f> p(leaf->attributeArray(s.p_at));
        for (size_t k = begin; k < end; ++k) {
            const placed& at = points[k];
            if (!at.moved) continue;
            const vec3 w = in_scene_order(at.p->position, order);
            const openvdb::Vec3d index = xform.worldToIndex(openvdb::Vec3d(w[0], w[1], w[2]));
            p.set(openvdb::Index(k - begin), openvdb::Vec3f(index - at.voxel.asVec3d()));
        }
        if (s.scale_at != absent) {
            std::optional<vp::AttributeWriteHandle<float>> fscale;
            std::optional<vp::AttributeWriteHandle<double>> dscale;
            if (s.double_scale)
                dscale.emplace(leaf->attributeArray(s.scale_at));
            else
                fscale.emplace(leaf->attributeArray(s.scale_at));
            for (size_t k = begin; k < end; ++k) {
                const placed& at = points[k];
                if (!at.rescaled) continue;
                const openvdb::Index to = openvdb::Index(k - begin);
                if (dscale)
                    dscale->set(to, double(at.p->scale));
                else
                    fscale->set(to, at.p->scale);
            }
        }
        for (size_t a = 0; a < model.size(); ++a)
            if (model.getConst(a)->isUniform()) leaf->attributeArray(a).compact();
        begin = end;
    }
}

void write_passed_through(const QString& path, const frame_set& fs, const QString& source,
                          position_order order) {
    vdb_source s = load(source);
    if (s.count != fs.source_records)
        refuse(source, QString("changed since it was read: %1 points, %2 expected")
                           .arg(s.count)
                           .arg(fs.source_records));
    const openvdb::math::Transform& xform = s.points->transform();
    std::vector<placed> points;
    points.reserve(fs.particles.size());
    source_match match(fs, source);
    each_point(s, [&](size_t l, const leaf_reader& reader, const openvdb::Coord& voxel,
                      openvdb::Index i, int32_t record) {
        const particle* live = match.take(reader.id(i, record, source), record);
        if (!live) return;
        const particle& p = *live;
        const bool moved = in_scene_order(reader.position(voxel, i), order) != p.position;
        openvdb::Coord to = voxel;
        if (moved) {
            const vec3 w = in_scene_order(p.position, order);
            const openvdb::Vec3d index = xform.worldToIndex(openvdb::Vec3d(w[0], w[1], w[2]));
            constexpr double reach = double(std::numeric_limits<int32_t>::max() / 2);
            if (std::abs(index[0]) > reach || std::abs(index[1]) > reach ||
                std::abs(index[2]) > reach)
                throw bin_error("frame " + std::to_string(fs.frame) + ": particle " +
                                std::to_string(p.id) + " lies beyond the grid's reach");
            to = openvdb::Coord::round(index);
        }
        points.push_back({to, uint32_t(l), i, &p, moved, reader.scale(i) != p.scale});
    });
    match.finish();
    // Leaf by leaf, voxel by voxel; a voxel's points keep their order.
    std::stable_sort(points.begin(), points.end(), [](const placed& a, const placed& b) {
        const openvdb::Coord la = a.voxel & ~(leaf_type::DIM - 1),
                             lb = b.voxel & ~(leaf_type::DIM - 1);
        if (la != lb) return la < lb;
        return leaf_type::coordToOffset(a.voxel) < leaf_type::coordToOffset(b.voxel);
    });
    auto tree = std::make_shared<vp::PointDataTree>();
    if (!points.empty()) build_leaves(s, points, *tree, order);
    vp::PointDataGrid::Ptr grid = vp::PointDataGrid::create(tree);
    grid->setTransform(xform.copy());
    for (auto meta = s.points->beginMeta(); meta != s.points->endMeta(); ++meta)
        if (meta->first.rfind("file_", 0) != 0) grid->insertMeta(meta->first, *meta->second);
    openvdb::GridPtrVec grids = s.grids;
    grids[s.grid_at] = grid;

    file_beside out(path);
    try {
        openvdb::io::File file(out.temp_path().toStdString());
        file.setCompression(compression_of(*s.points));
        file.write(grids, *s.file_meta);
        file.close();
    } catch (const std::exception& e) {
        refuse(path, QString("cannot be written: ") + e.what());
    }
    out.finish();
}

// Whether an attribute of this type can fill the channel its name gives.
bool carries(const cache_channel& c, const std::string& type) {
    if (c.components == 3) return type == "vec3s" || type == "vec3d";
    return type == "float" || type == "double" || type == "int16" || type == "int32" ||
           type == "int64";
}

// Reads values of an attribute array of value type T into out (components per point).
template <class T>
void read_values(const vp::AttributeArray& array, openvdb::Index n, double* out) {
    const vp::AttributeHandle<T> handle(array);
    for (openvdb::Index i = 0; i < n; ++i) {
        const T v = handle.get(i);
        if constexpr (openvdb::VecTraits<T>::IsVec)
            for (int k = 0; k < 3; ++k)
                out[3 * i + openvdb::Index(k)] = double(v[k]);
        else
            out[i] = double(v);
    }
}

void read_attribute(const vp::AttributeArray& array, const std::string& type, openvdb::Index n,
                    double* out) {
    if (type == "vec3s") return read_values<openvdb::Vec3f>(array, n, out);
    if (type == "vec3d") return read_values<openvdb::Vec3d>(array, n, out);
    if (type == "float") return read_values<float>(array, n, out);
    if (type == "double") return read_values<double>(array, n, out);
    if (type == "int16") return read_values<int16_t>(array, n, out);
    if (type == "int32") return read_values<int32_t>(array, n, out);
    read_values<int64_t>(array, n, out);
}

// Appends a carried channel to a generated grid, its values in the order of `live`.
void append_channel(vp::PointDataTree& tree, const openvdb::tools::PointIndexTree& index,
                    const source_channels& carried, const channel_values& c,
                    const std::vector<const particle*>& live) {
    double v[3];
    if (c.channel->components == 3) {
        std::vector<openvdb::Vec3f> values;
        values.reserve(live.size());
        for (const particle* p : live) {
            carried.values_of(c, *p, v);
            values.emplace_back(float(v[0]), float(v[1]), float(v[2]));
        }
        vp::appendAttribute<openvdb::Vec3f>(tree, c.channel->vdb);
        vp::populateAttribute(tree, index, c.channel->vdb,
                              vp::PointAttributeVector<openvdb::Vec3f>(values));
    } else if (c.channel->integral) {
        std::vector<int32_t> values;
        values.reserve(live.size());
        for (const particle* p : live) {
            carried.values_of(c, *p, v);
            values.push_back(int32_t(v[0]));
        }
        vp::appendAttribute<int32_t>(tree, c.channel->vdb);
        vp::populateAttribute(tree, index, c.channel->vdb,
                              vp::PointAttributeVector<int32_t>(values));
    } else {
        std::vector<float> values;
        values.reserve(live.size());
        for (const particle* p : live) {
            carried.values_of(c, *p, v);
            values.push_back(float(v[0]));
        }
        vp::appendAttribute<float>(tree, c.channel->vdb);
        vp::populateAttribute(tree, index, c.channel->vdb, vp::PointAttributeVector<float>(values));
    }
}

void write_generated(const QString& path, const frame_set& fs, position_order order,
                     const source_channels* carried) {
    const std::vector<const particle*> live = live_by_id(fs);
    std::vector<openvdb::Vec3f> positions, colours;
    std::vector<int32_t> ids;
    std::vector<float> scales, weights;
    for (const particle* p : live) {
        const vec3 w = in_scene_order(p->position, order);
        positions.emplace_back(w[0], w[1], w[2]);
        ids.push_back(p->id);
        scales.push_back(p->scale);
        const float grey = std::clamp(p->shade, 0.0f, 1.0f);
        colours.emplace_back(grey, grey, grey);
        weights.push_back(std::min(p->weight, 1.0f));
    }
    const vp::PointAttributeVector<openvdb::Vec3f> where(positions);
    // A power of two keeps positions exact through the voxel offsets they are stored as.
    double voxel = positions.empty() ? 1.0 : vp::computeVoxelSize(where, 8);
    if (!std::isfinite(voxel) || voxel <= 0.0) voxel = 1.0;
    voxel = std::exp2(std::floor(std::log2(voxel)));
    const auto xform = openvdb::math::Transform::createLinearTransform(voxel);
    const auto index =
        openvdb::tools::createPointIndexGrid<openvdb::tools::PointIndexGrid>(where, *xform);
    vp::PointDataGrid::Ptr grid =
        vp::createPointDataGrid<vp::NullCodec, vp::PointDataGrid>(*index, where, *xform);
    vp::PointDataTree& tree = grid->tree();
    vp::appendAttribute<int32_t>(tree, "id");
    vp::populateAttribute(tree, index->tree(), "id", vp::PointAttributeVector<int32_t>(ids));
    vp::appendAttribute<float>(tree, "pscale");
    vp::populateAttribute(tree, index->tree(), "pscale", vp::PointAttributeVector<float>(scales));
    vp::appendAttribute<openvdb::Vec3f>(tree, vdb_colour_name);
    vp::populateAttribute(tree, index->tree(), vdb_colour_name,
                          vp::PointAttributeVector<openvdb::Vec3f>(colours));
    vp::appendAttribute<float>(tree, vdb_weight_name);
    vp::populateAttribute(tree, index->tree(), vdb_weight_name,
                          vp::PointAttributeVector<float>(weights));
    if (carried)
        for (const channel_values& c : carried->present)
            append_channel(tree, index->tree(), *carried, c, live);
    grid->setName("points");

    file_beside out(path);
    try {
        openvdb::io::File file(out.temp_path().toStdString());
        file.write(openvdb::GridCPtrVec{grid});
        file.close();
    } catch (const std::exception& e) {
        refuse(path, QString("cannot be written: ") + e.what());
    }
    out.finish();
}

// How an attribute of a value type reads as a channel: its components' kind and size.
struct attribute_shape {
    const char* type;
    char kind;
    int item_size, components;
};

constexpr attribute_shape attribute_shapes[] = {
    {"float", 'f', 4, 1}, {"double", 'f', 8, 1}, {"half", 'f', 4, 1},   {"bool", 'b', 1, 1},
    {"int8", 'i', 1, 1},  {"int16", 'i', 2, 1},  {"int32", 'i', 4, 1},  {"int64", 'i', 8, 1},
    {"uint8", 'u', 1, 1}, {"uint16", 'u', 2, 1}, {"uint32", 'u', 4, 1}, {"uint64", 'u', 8, 1},
    {"vec3s", 'f', 4, 3}, {"vec3d", 'f', 8, 3},  {"vec3i", 'i', 4, 3}};

const attribute_shape* shape_of(const std::string& type) {
    for (const attribute_shape& a : attribute_shapes)
        if (type == a.type) return &a;
    return nullptr;
}

// Appends every component of every point of an attribute, as Out.
template <class T, class Out = T>
void append_scalars(const vdb_source& s, size_t at, QByteArray& out) {
    for (const leaf_type* leaf : s.leaves) {
        const vp::AttributeHandle<T> h(leaf->constAttributeArray(at));
        for (openvdb::Index i = 0; i < h.size(); ++i)
            for (openvdb::Index m = 0; m < h.stride(); ++m) {
                const Out v = Out(h.get(i, m));
                out.append(reinterpret_cast<const char*>(&v), sizeof v);
            }
    }
}

template <class T>
void append_vectors(const vdb_source& s, size_t at, QByteArray& out) {
    for (const leaf_type* leaf : s.leaves) {
        const vp::AttributeHandle<openvdb::math::Vec3<T>> h(leaf->constAttributeArray(at));
        for (openvdb::Index i = 0; i < h.size(); ++i)
            for (openvdb::Index m = 0; m < h.stride(); ++m) {
                const openvdb::math::Vec3<T> v = h.get(i, m);
                out.append(reinterpret_cast<const char*>(v.asPointer()), 3 * sizeof(T));
            }
    }
}

void append_attribute(const vdb_source& s, size_t at, const std::string& type, QByteArray& out) {
    if (type == "float") return append_scalars<float>(s, at, out);
    if (type == "double") return append_scalars<double>(s, at, out);
    if (type == "half") return append_scalars<openvdb::math::half, float>(s, at, out);
    if (type == "bool") return append_scalars<bool>(s, at, out);
    if (type == "int8") return append_scalars<int8_t>(s, at, out);
    if (type == "int16") return append_scalars<int16_t>(s, at, out);
    if (type == "int32") return append_scalars<int32_t>(s, at, out);
    if (type == "int64") return append_scalars<int64_t>(s, at, out);
    if (type == "uint8") return append_scalars<uint8_t>(s, at, out);
    if (type == "uint16") return append_scalars<uint16_t>(s, at, out);
    if (type == "uint32") return append_scalars<uint32_t>(s, at, out);
    if (type == "uint64") return append_scalars<uint64_t>(s, at, out);
    if (type == "vec3s") return append_vectors<float>(s, at, out);
    if (type == "vec3d") return append_vectors<double>(s, at, out);
    append_vectors<int32_t>(s, at, out);
}

}  // namespace

long long read_vdb_frame(const QString& path, frame_set& fs, position_order order) {
    const vdb_source s = load(path);
    particle_map read;
    read.reserve(size_t(s.count));
    long long dropped = 0;
    uint64_t ids = source_ids_start;
    each_point(s, [&](size_t, const leaf_reader& reader, const openvdb::Coord& voxel,
                      openvdb::Index i, int32_t record) {
        const int32_t id = reader.id(i, record, path);
        ids = add_source_id(ids, id);
        const vec3 position = reader.position(voxel, i);
        const float scale = reader.scale(i);
        if (!finite(position))
            refuse(
                path,
                QString("point %1 (particle %2): the position is not finite").arg(record).arg(id));
        if (!within_position_limit(position))
            refuse_beyond_limit(path, fs, QString("point %1 (particle %2)").arg(record).arg(id),
                                position);
        if (!std::isfinite(scale))
            refuse(path,
                   QString("point %1 (particle %2): the pscale is not finite").arg(record).arg(id));
        const auto [it, added] = read.try_emplace(id, id, in_scene_order(position, order), scale);
        if (added)
            it->second.record = record;
        else
            ++dropped;
    });
    return dropped + join_read_frame(fs, read, s.count, ids);
}

record_channels read_vdb_channel(const QString& path, const QString& name) {
    const vdb_source s = load(path);
    record_channels out;
    if (s.leaves.empty()) return out;
    const vp::AttributeSet& set = s.leaves.front()->attributeSet();
    const vp::AttributeSet::Descriptor& d = set.descriptor();
    const std::string wanted = name.toStdString();
    std::optional<record_channel> found;
    bool group = false;
    // By position in the set: the order the file holds them in.
    std::vector<std::pair<size_t, std::string>> attributes;
    for (const auto& [n, at] : d.map())
        attributes.emplace_back(at, n);
    std::sort(attributes.begin(), attributes.end());
    for (const auto& [at, n] : attributes) {
        const vp::AttributeArray& array = *set.getConst(at);
        const attribute_shape* shape = shape_of(d.valueType(at));
        if (n.rfind("__", 0) == 0 || vp::isString(array) || vp::isGroup(array) || !shape) continue;
        out.names.push_back(QString::fromStdString(n));
        if (n != wanted) continue;
        record_channel c;
        c.name = name;
        c.kind = shape->kind;
        c.item_size = shape->item_size;
        c.width = shape->components * int(array.stride());
        if (at == s.p_at) c.role = channel_role::position;
        if (at == s.scale_at) c.role = channel_role::scale;
        found = std::move(c);
    }
    for (const auto& [n, at] : d.groupMap()) {
        if (d.find(n) != absent) continue;  // an attribute of that name is read by it
        out.names.push_back(QString::fromStdString(n));
        if (n == wanted && !found) {
            found = record_channel{name, 'b', 1, 1, channel_role::other, -1, {}};
            group = true;
        }
    }
    if (!found) return out;
    record_channel& c = *found;
    c.values.reserve(qsizetype(s.count) * c.record_size());
    out.ids.reserve(size_t(s.count));
    each_point(s, [&](size_t, const leaf_reader& reader, const openvdb::Coord& voxel,
                      openvdb::Index i, int32_t record) {
        out.ids.push_back(reader.id(i, record, path));
        if (c.role != channel_role::position) return;
        const vec3 p = reader.position(voxel, i);
        const float xyz[3] = {p[0], p[1], p[2]};
        c.values.append(reinterpret_cast<const char*>(xyz), sizeof xyz);
    });
    if (group) {
        for (const leaf_type* leaf : s.leaves) {
            const vp::GroupHandle h = leaf->groupHandle(wanted);
            for (openvdb::Index i = 0; i < leaf->pointCount(); ++i)
                c.values.append(char(h.get(i) ? 1 : 0));
        }
    } else if (c.role != channel_role::position) {
        append_attribute(s, d.find(wanted), d.valueType(d.find(wanted)), c.values);
    }
    out.found = std::move(found);
    return out;
}

void write_vdb_frame(const QString& path, const frame_set& fs, const QString& source,
                     position_order order, const source_channels* carried) {
    start_library();
    if (fs.source_records >= 0 && !source.isEmpty())
        write_passed_through(path, fs, source, order);
    else
        write_generated(path, fs, order, carried);
}

source_channels vdb_channels(const QString& path, const frame_set& fs) {
    const vdb_source s = load(path);
    if (s.count != fs.source_records)
        refuse(path, QString("changed since it was read: %1 points, %2 expected")
                         .arg(s.count)
                         .arg(fs.source_records));
    source_channels out;
    out.records = s.count;
    if (s.leaves.empty()) return out;
    const vp::AttributeSet::Descriptor& d = s.leaves.front()->attributeSet().descriptor();
    std::vector<std::pair<size_t, size_t>> read;  // channel present, attribute
    for (const auto& [name, at] : d.map())
        if (const cache_channel* c = channel_of_vdb(name);
            c && carries(*c, d.valueType(at)) &&
            s.leaves.front()->constAttributeArray(at).stride() == 1) {
            read.emplace_back(out.present.size(), at);
            out.add(*c);
        }
    source_match match(fs, path);
    each_point(s, [&](size_t, const leaf_reader& reader, const openvdb::Coord&, openvdb::Index i,
                      int32_t record) { match.take(reader.id(i, record, path), record); });
    match.finish();
    for (size_t l = 0; l < s.leaves.size(); ++l)
        for (const auto& [k, at] : read) {
            channel_values& c = out.present[k];
            read_attribute(s.leaves[l]->constAttributeArray(at), d.valueType(at),
                           s.leaves[l]->pointCount(),
                           c.values.data() + size_t(s.starts[l]) * size_t(c.channel->components));
        }
    return out;
}

std::vector<QString> vdb_extra_attributes(const QString& path, bool with_channels) {
    const vdb_source s = load(path);
    std::vector<QString> names;
    if (s.leaves.empty()) return names;
    const vp::AttributeSet::Descriptor& d = s.leaves.front()->attributeSet().descriptor();
    for (const auto& [name, at] : d.map()) {
        // Group memberships live in hidden arrays named "__group..."; they are listed by name.
        if (name == "P" || name == "id" || name == "pscale" || name.rfind("__", 0) == 0) continue;
        const cache_channel* c = channel_of_vdb(name);
        if (!with_channels && c && carries(*c, d.valueType(at)) &&
            s.leaves.front()->constAttributeArray(at).stride() == 1)
            continue;
        names.push_back(QString::fromStdString(name));
    }
    for (const auto& [name, at] : d.groupMap())
        names.push_back(QString::fromStdString(name));
    return names;
}

}  // namespace kavrin
