#include "fbx_writer.h"

#include <QFile>
#include <charconv>
#include <cstring>
#include <stdexcept>

namespace kavrin::fbx_test {

node& node::add(node child) {
    children.push_back(std::move(child));
    return children.back();
}

namespace {

// --- ASCII ---

std::string number(double v) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, res.ptr);
}

template <typename T>
std::string join(const std::vector<T>& items) {
    std::string s;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) s += ',';
        if constexpr (std::is_floating_point_v<T>) {
            s += number(items[i]);
        } else {
            s += std::to_string(items[i]);
        }
    }
    return s;
}

std::string quoted(const std::string& s) {
    return "\"" + s + "\"";
}

struct ascii_value {
    std::string text;
    bool array = false;
    std::size_t count = 0;
};

ascii_value ascii_of(const value& v) {
    return std::visit(
        [](const auto& x) -> ascii_value {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::int64_t>) {
                return {std::to_string(x)};
            } else if constexpr (std::is_same_v<T, double>) {
                return {number(x)};
            } else if constexpr (std::is_same_v<T, std::string>) {
                return {quoted(x)};
            } else if constexpr (std::is_same_v<T, object_name>) {
                return {quoted(x.cls + "::" + x.name)};
            } else {
                return {join(x), true, x.size()};
            }
        },
        v);
}

void write_ascii_node(const node& n, int depth, std::string& out) {
    const std::string indent(depth, '\t');
    out += indent + n.name + ": ";
    bool has_array = false;
    for (std::size_t i = 0; i < n.values.size(); ++i) {
        const ascii_value a = ascii_of(n.values[i]);
        if (a.array) {
            // An array is the node's only value, written as a block with one "a:" line.
            out += "*" + std::to_string(a.count) + " {\n" + indent + "\ta: " + a.text + "\n" +
                   indent + "}\n";
            has_array = true;
            break;
        }
        if (i) out += ", ";
        out += a.text;
    }
    if (has_array) return;
    if (n.block || !n.children.empty()) {
        out += " {\n";
        for (const node& c : n.children)
            write_ascii_node(c, depth + 1, out);
        out += indent + "}\n";
    } else {
        out += "\n";
    }
}

// --- binary ---

template <typename T>
void put(QByteArray& out, T v) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &v, sizeof(T));  // little-endian hosts only, like the tests' targets
    out.append(bytes, sizeof(T));
}

void put_offset(QByteArray& out, std::uint64_t v, bool wide) {
    if (wide) {
        put<std::uint64_t>(out, v);
    } else {
        put<std::uint32_t>(out, static_cast<std::uint32_t>(v));
    }
}

void patch_offset(QByteArray& out, qsizetype at, std::uint64_t v, bool wide) {
    if (wide) {
        std::memcpy(out.data() + at, &v, 8);
    } else {
        const auto v32 = static_cast<std::uint32_t>(v);
        std::memcpy(out.data() + at, &v32, 4);
    }
}

template <typename T>
void put_array(QByteArray& out, char code, const std::vector<T>& items, std::size_t compress_from) {
    out.append(code);
    put<std::uint32_t>(out, static_cast<std::uint32_t>(items.size()));
    const QByteArray raw(reinterpret_cast<const char*>(items.data()),
                         static_cast<qsizetype>(items.size() * sizeof(T)));
    if (items.size() > compress_from) {
        const QByteArray packed = qCompress(raw).mid(4);  // drop Qt's length prefix
        put<std::uint32_t>(out, 1);
        put<std::uint32_t>(out, static_cast<std::uint32_t>(packed.size()));
        out.append(packed);
    } else {
        put<std::uint32_t>(out, 0);
        put<std::uint32_t>(out, static_cast<std::uint32_t>(raw.size()));
        out.append(raw);
    }
}

void put_string(QByteArray& out, const std::string& s) {
    out.append('S');
    put<std::uint32_t>(out, static_cast<std::uint32_t>(s.size()));
    out.append(s.data(), static_cast<qsizetype>(s.size()));
}

void put_value(QByteArray& out, const value& v, std::size_t compress_from) {
    std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::int32_t>) {
                out.append('I');
                put(out, x);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                out.append('L');
                put(out, x);
            } else if constexpr (std::is_same_v<T, double>) {
                out.append('D');
                put(out, x);
            } else if constexpr (std::is_same_v<T, std::string>) {
                put_string(out, x);
            } else if constexpr (std::is_same_v<T, object_name>) {
                put_string(out, x.name + std::string("\0\1", 2) + x.cls);
            } else if constexpr (std::is_same_v<T, std::vector<std::int32_t>>) {
                put_array(out, 'i', x, compress_from);
            } else if constexpr (std::is_same_v<T, std::vector<std::int64_t>>) {
                put_array(out, 'l', x, compress_from);
            } else if constexpr (std::is_same_v<T, std::vector<double>>) {
                put_array(out, 'd', x, compress_from);
            } else {
                put_array(out, 'f', x, compress_from);
            }
        },
        v);
}

void put_null_record(QByteArray& out, bool wide) {
    out.append(QByteArray(wide ? 25 : 13, '\0'));
}

void write_binary_node(const node& n, QByteArray& out, bool wide, std::size_t compress_from) {
    const qsizetype start = out.size();
    put_offset(out, 0, wide);  // end offset, patched below
    put_offset(out, n.values.size(), wide);
    const qsizetype list_len_at = out.size();
    put_offset(out, 0, wide);
    out.append(static_cast<char>(n.name.size()));
    out.append(n.name.data(), static_cast<qsizetype>(n.name.size()));
    const qsizetype values_start = out.size();
    for (const value& v : n.values)
        put_value(out, v, compress_from);
    patch_offset(out, list_len_at, static_cast<std::uint64_t>(out.size() - values_start), wide);
    if (n.block || !n.children.empty()) {
        for (const node& c : n.children)
            write_binary_node(c, out, wide, compress_from);
        put_null_record(out, wide);
    }
    patch_offset(out, start, static_cast<std::uint64_t>(out.size()), wide);
}

// --- scene description to document ---

node property(const std::string& name, const std::string& type, const std::string& label,
              const std::string& flags, std::vector<value> values) {
    std::vector<value> all{name, type, label, flags};
    for (value& v : values)
        all.push_back(std::move(v));
    return node("P", std::move(all));
}

node int_property(const std::string& name, std::int32_t v) {
    return property(name, "int", "Integer", "", {v});
}

node double_property(const std::string& name, double v) {
    return property(name, "double", "Number", "", {v});
}

node time_property(const std::string& name, std::int64_t v) {
    return property(name, "KTime", "Time", "", {v});
}

node vector_property(const std::string& name, const vec& v, bool animatable) {
    const std::string type = animatable ? name : "Vector3D";
    return property(name, type, animatable ? "" : "Vector", animatable ? "A" : "",
                    {v[0], v[1], v[2]});
}

struct id_source {
    std::int64_t next = 1000;
    std::int64_t operator()() { return next++; }
};

node curve(std::int64_t id, const std::vector<std::int64_t>& times,
           const std::vector<float>& values) {
    node c("AnimationCurve", {id, object_name{"AnimCurve", ""}, std::string()});
    c.add(node("Default", {static_cast<double>(values.empty() ? 0.0f : values.front())}));
    c.add(node("KeyVer", {std::int32_t{4008}}));
    c.add(node("KeyTime", {times}));
    c.add(node("KeyValueFloat", {values}));
    c.add(node("KeyAttrFlags", {std::vector<std::int32_t>{4}}));  // linear interpolation
    c.add(node("KeyAttrDataFloat", {std::vector<float>{0, 0, 0, 0}}));
    c.add(node("KeyAttrRefCount", {std::vector<std::int32_t>{static_cast<int>(times.size())}}));
    return c;
}

struct doc_builder {
    node objects{"Objects"};
    node connections{"Connections"};
    id_source ids;

    void connect(std::int64_t child, std::int64_t parent) {
        connections.add(node("C", {std::string("OO"), child, parent}));
    }
    void connect(std::int64_t child, std::int64_t parent, const std::string& prop) {
        connections.add(node("C", {std::string("OP"), child, parent, prop}));
    }

    // One curve node with a curve per channel, targeting `prop` of object `target`.
    void animate(std::int64_t layer, std::int64_t target, const std::string& prop,
                 const std::string& node_name, const std::vector<std::string>& channels,
                 const std::vector<int>& frames, const std::vector<std::vector<float>>& values) {
        const std::int64_t cn = ids();
        node curve_node("AnimationCurveNode",
                        {cn, object_name{"AnimCurveNode", node_name}, std::string()});
        node& props = curve_node.add(node("Properties70"));
        for (std::size_t c = 0; c < channels.size(); ++c) {
            props.add(property("d|" + channels[c], "Number", "", "A",
                               {static_cast<double>(values[c].front())}));
        }
        objects.add(std::move(curve_node));
        connect(cn, layer);
        connect(cn, target, prop);
        std::vector<std::int64_t> times;
        for (int f : frames)
            times.push_back(f * ticks_per_frame);
        for (std::size_t c = 0; c < channels.size(); ++c) {
            const std::int64_t cid = ids();
            objects.add(curve(cid, times, values[c]));
            connect(cid, cn, "d|" + channels[c]);
        }
    }

    void animate_vector(std::int64_t layer, std::int64_t target, const std::string& prop,
                        const std::string& short_name, const std::map<int, vec>& keys) {
        std::vector<int> frames;
        std::vector<std::vector<float>> values(3);
        for (const auto& [f, v] : keys) {
            frames.push_back(f);
            for (int c = 0; c < 3; ++c)
                values[c].push_back(static_cast<float>(v[c]));
        }
        animate(layer, target, prop, short_name, {"X", "Y", "Z"}, frames, values);
    }
};

node camera_attribute(std::int64_t id, const model_desc& m) {
    node attr("NodeAttribute", {id, object_name{"NodeAttribute", m.name}, std::string("Camera")});
    node& props = attr.add(node("Properties70"));
    if (m.focal_length > 0) props.add(property("FocalLength", "Number", "", "A", {m.focal_length}));
    if (m.field_of_view > 0)
        props.add(property("FieldOfView", "FieldOfView", "", "A", {m.field_of_view}));
    if (m.film_width > 0) props.add(double_property("FilmWidth", m.film_width));
    if (m.film_height > 0) props.add(double_property("FilmHeight", m.film_height));
    if (m.film_aspect > 0) props.add(double_property("FilmAspectRatio", m.film_aspect));
    props.add(property("ApertureMode", "enum", "", "", {std::int32_t{3}}));
    attr.add(node("TypeFlags", {std::string("Camera")}));
    attr.add(node("GeometryVersion", {std::int32_t{124}}));
    attr.add(node("Position", {0.0, 0.0, 0.0}));
    attr.add(node("Up", {0.0, 1.0, 0.0}));
    attr.add(node("LookAt", {1.0, 0.0, 0.0}));
    return attr;
}

node geometry(std::int64_t id, const model_desc& m) {
    node geo("Geometry", {id, object_name{"Geometry", m.name}, std::string("Mesh")});
    std::vector<double> points;
    for (const vec& p : m.points)
        points.insert(points.end(), p.begin(), p.end());
    std::vector<std::int32_t> corners;
    for (const std::vector<int>& poly : m.polygons) {
        for (std::size_t k = 0; k < poly.size(); ++k) {
            // The last corner of a polygon is stored as -(index + 1).
            corners.push_back(k + 1 == poly.size() ? -poly[k] - 1 : poly[k]);
        }
    }
    geo.add(node("Vertices", {points}));
    geo.add(node("PolygonVertexIndex", {corners}));
    geo.add(node("GeometryVersion", {std::int32_t{124}}));
    return geo;
}

}  // namespace

std::string to_ascii(const std::vector<node>& top) {
    std::string out = "; FBX 7.4.0 project file\n; written by the Kavrin test writer\n\n";
    for (const node& n : top)
        write_ascii_node(n, 0, out);
    return out;
}

QByteArray to_binary(const std::vector<node>& top, int version, std::size_t compress_from) {
    const bool wide = version >= 7500;
    QByteArray out("Kaydara FBX Binary  ", 20);
    out.append('\0');
    out.append('\x1a');
    out.append('\0');
    put<std::uint32_t>(out, static_cast<std::uint32_t>(version));
    for (const node& n : top)
        write_binary_node(n, out, wide, compress_from);
    put_null_record(out, wide);
    // Footer: an id block, padding to 16 bytes, the version and a closing magic.
    static const unsigned char footer_id[16] = {0xfa, 0xbc, 0xab, 0x09, 0xd0, 0xc8, 0xd4, 0x66,
                                                0xb1, 0x76, 0xfb, 0x83, 0x1c, 0xf7, 0x26, 0x7e};
    static const unsigned char footer_magic[16] = {0xf8, 0x5a, 0x8c, 0x6a, 0xde, 0xf5, 0xd9, 0x7e,
                                                   0xec, 0xe9, 0x0c, 0xe3, 0x75, 0x8f, 0x29, 0x0b};
    out.append(reinterpret_cast<const char*>(footer_id), 16);
    out.append(QByteArray((16 - out.size() % 16) % 16, '\0'));
    put<std::uint32_t>(out, 0);
    put<std::uint32_t>(out, static_cast<std::uint32_t>(version));
    out.append(QByteArray(120, '\0'));
    out.append(reinterpret_cast<const char*>(footer_magic), 16);
    return out;
}

scene_desc z_up_version(const scene_desc& y_up) {
    if (y_up.up_axis != 1 || y_up.up_sign != 1 || y_up.front_axis != 2 || y_up.front_sign != 1 ||
        y_up.coord_axis != 0 || y_up.coord_sign != 1)
        throw std::invalid_argument("z_up_version: the scene is not y-up and right-handed");
    scene_desc z = y_up;
    z.up_axis = 2;
    z.front_axis = 1;
    z.front_sign = -1;
    const auto turn = [](const vec& v) { return vec{v[0], -v[2], v[1]}; };
    for (model_desc& m : z.models) {
        if (m.parent >= 0) continue;  // children turn with their root
        for (const char* own : {"PreRotation", "RotationOffset", "RotationPivot"}) {
            if (m.vectors.count(own))
                throw std::invalid_argument(std::string("z_up_version: root model with ") + own);
        }
        m.vectors["PreRotation"] = {90, 0, 0};
        m.translation = turn(m.translation);
        for (auto& [frame, t] : m.translation_keys)
            t = turn(t);
    }
    return z;
}

std::vector<node> build_document(const scene_desc& scene) {
    std::vector<node> top;

    node& header = top.emplace_back("FBXHeaderExtension");
    header.add(node("FBXHeaderVersion", {std::int32_t{1003}}));
    header.add(node("FBXVersion", {std::int32_t{7400}}));
    header.add(node("Creator", {std::string("Kavrin test writer")}));

    node& settings = top.emplace_back("GlobalSettings");
    settings.add(node("Version", {std::int32_t{1000}}));
    node& gp = settings.add(node("Properties70"));
    gp.add(int_property("UpAxis", scene.up_axis));
    gp.add(int_property("UpAxisSign", scene.up_sign));
    gp.add(int_property("FrontAxis", scene.front_axis));
    gp.add(int_property("FrontAxisSign", scene.front_sign));
    gp.add(int_property("CoordAxis", scene.coord_axis));
    gp.add(int_property("CoordAxisSign", scene.coord_sign));
    gp.add(double_property("UnitScaleFactor", scene.unit_scale));
    gp.add(double_property("OriginalUnitScaleFactor", scene.unit_scale));
    gp.add(property("TimeMode", "enum", "", "", {std::int32_t{6}}));  // 30 frames per second
    gp.add(time_property("TimeSpanStart", scene.start_frame * ticks_per_frame));
    gp.add(time_property("TimeSpanStop", scene.stop_frame * ticks_per_frame));

    doc_builder doc;
    std::vector<std::int64_t> model_ids;
    for (const model_desc& m : scene.models) {
        const std::int64_t id = doc.ids();
        model_ids.push_back(id);
        const char* kind = m.type == model_desc::kind::mesh     ? "Mesh"
                           : m.type == model_desc::kind::camera ? "Camera"
                                                                : "Null";
        node model("Model", {id, object_name{"Model", m.name}, std::string(kind)});
        model.add(node("Version", {std::int32_t{232}}));
        node& props = model.add(node("Properties70"));
        if (!m.vectors.empty()) {
            props.add(property("RotationActive", "bool", "", "", {std::int32_t{1}}));
        }
        for (const auto& [name, v] : m.vectors)
            props.add(vector_property(name, v, false));
        if (m.rotation_order != 0) {
            props.add(property("RotationOrder", "enum", "", "", {std::int32_t{m.rotation_order}}));
        }
        props.add(vector_property("Lcl Translation", m.translation, true));
        props.add(vector_property("Lcl Rotation", m.rotation, true));
        props.add(vector_property("Lcl Scaling", m.scaling, true));
        doc.objects.add(std::move(model));
    }
    std::vector<std::int64_t> attribute_ids(scene.models.size(), 0);
    for (std::size_t i = 0; i < scene.models.size(); ++i) {
        const model_desc& m = scene.models[i];
        doc.connect(model_ids[i], m.parent < 0 ? 0 : model_ids[m.parent]);
        if (m.type == model_desc::kind::mesh) {
            attribute_ids[i] = doc.ids();
            doc.objects.add(geometry(attribute_ids[i], m));
            doc.connect(attribute_ids[i], model_ids[i]);
        } else if (m.type == model_desc::kind::camera) {
            attribute_ids[i] = doc.ids();
            doc.objects.add(camera_attribute(attribute_ids[i], m));
            doc.connect(attribute_ids[i], model_ids[i]);
        }
    }
    if (scene.root_camera) {
        model_desc lone;
        lone.name = "RootCamera";
        const std::int64_t id = doc.ids();
        doc.objects.add(camera_attribute(id, lone));
        doc.connect(id, 0);
    }

    if (scene.animated) {
        const std::int64_t stack = doc.ids(), layer = doc.ids();
        node st("AnimationStack", {stack, object_name{"AnimStack", "Take 001"}, std::string()});
        node& sp = st.add(node("Properties70"));
        sp.add(time_property("LocalStart", scene.start_frame * ticks_per_frame));
        sp.add(time_property("LocalStop", scene.stop_frame * ticks_per_frame));
        sp.add(time_property("ReferenceStart", scene.start_frame * ticks_per_frame));
        sp.add(time_property("ReferenceStop", scene.stop_frame * ticks_per_frame));
        doc.objects.add(std::move(st));
        node ly("AnimationLayer", {layer, object_name{"AnimLayer", "BaseLayer"}, std::string()});
        ly.block = true;
        doc.objects.add(std::move(ly));
        doc.connect(layer, stack);
        for (std::size_t i = 0; i < scene.models.size(); ++i) {
            const model_desc& m = scene.models[i];
            if (!m.translation_keys.empty()) {
                doc.animate_vector(layer, model_ids[i], "Lcl Translation", "T", m.translation_keys);
            }
            if (!m.rotation_keys.empty()) {
                doc.animate_vector(layer, model_ids[i], "Lcl Rotation", "R", m.rotation_keys);
            }
            if (!m.focal_keys.empty() && attribute_ids[i] != 0) {
                std::vector<int> frames;
                std::vector<std::vector<float>> values(1);
                for (const auto& [f, v] : m.focal_keys) {
                    frames.push_back(f);
                    values[0].push_back(static_cast<float>(v));
                }
                doc.animate(layer, attribute_ids[i], "FocalLength", "FocalLength", {"FocalLength"},
                            frames, values);
            }
        }
    }
    top.push_back(std::move(doc.objects));
    top.push_back(std::move(doc.connections));

    if (scene.animated) {
        node& takes = top.emplace_back("Takes");
        takes.add(node("Current", {std::string("Take 001")}));
        node& take = takes.add(node("Take", {std::string("Take 001")}));
        take.add(node("FileName", {std::string("Take_001.tak")}));
        const std::int64_t a = scene.start_frame * ticks_per_frame;
        const std::int64_t b = scene.stop_frame * ticks_per_frame;
        take.add(node("LocalTime", {a, b}));
        take.add(node("ReferenceTime", {a, b}));
    }
    return top;
}

bool write_file(const QString& path, const scene_desc& scene, encoding enc) {
    const std::vector<node> doc = build_document(scene);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    const QByteArray bytes =
        enc == encoding::ascii ? QByteArray::fromStdString(to_ascii(doc)) : to_binary(doc);
    return file.write(bytes) == bytes.size();
}

}  // namespace kavrin::fbx_test
