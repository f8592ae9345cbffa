#include "exchange/fbx_scene.h"

#include <QFile>
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <unordered_map>
#include <unordered_set>

namespace kavrin {

namespace {

using vec = std::array<double, 3>;

constexpr double pi = 3.14159265358979323846;

// Lens defaults of an FBX camera that states nothing: 35 mm academy film, 34.89 mm lens.
constexpr double default_film_width = 0.816;   // inches
constexpr double default_film_height = 0.612;  // inches
constexpr double default_focal_length = 34.89327;
constexpr double mm_per_inch = 25.4;

// --- matrices, column convention (p' = M · p) while composing; rows for points on output ---

struct mat {
    double m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
};

mat operator*(const mat& a, const mat& b) {
    mat r;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            double s = 0.0;
            for (int k = 0; k < 4; ++k)
                s += a.m[i][k] * b.m[k][j];
            r.m[i][j] = s;
        }
    }
    return r;
}

mat translation(const vec& v) {
    mat r;
    for (int i = 0; i < 3; ++i)
        r.m[i][3] = v[i];
    return r;
}

mat scaling(const vec& v) {
    mat r;
    for (int i = 0; i < 3; ++i)
        r.m[i][i] = v[i];
    return r;
}

vec negated(const vec& v) {
    return {-v[0], -v[1], -v[2]};
}

mat axis_rotation(int axis, double degrees) {
    const double a = degrees * pi / 180.0;
    const double c = std::cos(a), s = std::sin(a);
    const int i = (axis + 1) % 3, j = (axis + 2) % 3;
    mat r;
    r.m[i][i] = c;
    r.m[i][j] = -s;
    r.m[j][i] = s;
    r.m[j][j] = c;
    return r;
}

// Euler rotation in FBX rotation order: order 0 (XYZ) turns about X first, then Y, then Z.
mat euler(const vec& degrees, int order) {
    static const int axes[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 2, 0},
                                   {1, 0, 2}, {2, 0, 1}, {2, 1, 0}};
    const int* o = axes[(order >= 0 && order < 6) ? order : 0];  // 6, spheric XYZ, reads as XYZ
    return axis_rotation(o[2], degrees[o[2]]) * axis_rotation(o[1], degrees[o[1]]) *
           axis_rotation(o[0], degrees[o[0]]);
}

mat transposed(const mat& a) {
    mat r;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j)
            r.m[i][j] = a.m[j][i];
    }
    return r;
}

// --- animation curves ---

struct curve {
    std::vector<fbx_time> times;  // ascending
    std::vector<double> values;

    double at(fbx_time t) const {
        if (t <= times.front()) return values.front();
        if (t >= times.back()) return values.back();
        const std::size_t i = static_cast<std::size_t>(
            std::upper_bound(times.begin(), times.end(), t) - times.begin());
        const double u = (static_cast<double>(t) - static_cast<double>(times[i - 1])) /
                         (static_cast<double>(times[i]) - static_cast<double>(times[i - 1]));
        return values[i - 1] + (values[i] - values[i - 1]) * u;
    }
};

// One animated property: its channels ("d|X", "d|FocalLength", ...) with a curve, or only the
// curve node's value when no curve drives the channel.
struct animated_property {
    struct channel {
        const curve* c = nullptr;
        std::optional<double> value;
    };
    std::map<std::string, channel, std::less<>> channels;

    double value(std::string_view name, double fallback, fbx_time t) const {
        const auto it = channels.find(name);
        if (it == channels.end()) return fallback;
        if (it->second.c) return it->second.c->at(t);
        return it->second.value.value_or(fallback);
    }
    vec value(const vec& fallback, fbx_time t) const {
        return {value("d|X", fallback[0], t), value("d|Y", fallback[1], t),
                value("d|Z", fallback[2], t)};
    }
};

// --- object properties ---

// The "P" entry of a Properties70 block, or null.
const fbx_node* find_p(const fbx_node* props, std::string_view name) {
    if (!props) return nullptr;
    for (const fbx_node& p : props->children) {
        if (p.name != "P" || p.values.empty()) continue;
        const auto* s = std::get_if<std::string>(&p.values[0]);
        if (s && *s == name) return &p;
    }
    return nullptr;
}

// A property of an object, else of its class template (the Definitions section).
struct property_source {
    const fbx_node* own = nullptr;
    const fbx_node* fallback = nullptr;

    const fbx_node* find(std::string_view name) const {
        const fbx_node* p = find_p(own, name);
        return p ? p : find_p(fallback, name);
    }
    bool has(std::string_view name) const { return find(name) != nullptr; }
    double number(std::string_view name, double def) const {
        double v;
        const fbx_node* p = find(name);
        return p && p->number(4, v) ? v : def;
    }
    vec vector(std::string_view name, const vec& def) const {
        const fbx_node* p = find(name);
        vec v;
        for (int i = 0; i < 3; ++i) {
            if (!p || !p->number(4 + i, v[i])) return def;
        }
        return v;
    }
    std::optional<fbx_time> time(std::string_view name) const {
        const fbx_node* p = find(name);
        std::int64_t v;
        if (p && p->integer(4, v)) return v;
        double d;  // a time written as a real
        if (p && p->number(4, d) && std::fabs(d) < 9.0e18) return std::llround(d);
        return std::nullopt;
    }
};

std::string object_text(const fbx_node& n, std::size_t i) {
    std::string s;
    n.text(i, s);
    return s;
}

// "Model::Cube" → "Cube".
std::string short_name(const std::string& s) {
    const std::size_t sep = s.find("::");
    return sep == std::string::npos ? s : s.substr(sep + 2);
}

struct lens {
    double film_width = default_film_width;
    double aspect = default_film_width / default_film_height;
    double focal_length = default_focal_length;
    const animated_property* focal_animation = nullptr;

    double fov(double focal) const {
        if (!(std::isfinite(focal) && focal > 0.0)) focal = focal_length;
        return 2.0 * std::atan(film_width * mm_per_inch * 0.5 / focal) * 180.0 / pi;
    }
};

struct model {
    std::int64_t id = 0;
    std::string name;
    int parent = -1;
    const fbx_node* object = nullptr;
    const fbx_node* camera = nullptr;
    const fbx_node* geometry = nullptr;
    // Static transform parts; rotations in degrees.
    vec t{0, 0, 0}, r{0, 0, 0}, s{1, 1, 1};
    vec rotation_offset{0, 0, 0}, rotation_pivot{0, 0, 0};
    vec scaling_offset{0, 0, 0}, scaling_pivot{0, 0, 0};
    vec pre_rotation{0, 0, 0}, post_rotation{0, 0, 0};
    int rotation_order = 0;
    vec geometric_t{0, 0, 0}, geometric_r{0, 0, 0}, geometric_s{1, 1, 1};
    const animated_property *anim_t = nullptr, *anim_r = nullptr, *anim_s = nullptr;
    lens camera_lens;
};

struct connection {
    std::int64_t child = 0, parent = 0;
    std::string property;  // empty for object-to-object links
};

}  // namespace

fbx_time fbx_time_from_seconds(double seconds) {
    const double t = seconds * static_cast<double>(fbx_ticks_per_second);
    if (!std::isfinite(t) || std::fabs(t) > 9.0e18) return 0;
    return static_cast<fbx_time>(std::llround(t));
}

struct fbx_scene::impl {
    fbx_document doc;
    std::unordered_map<std::int64_t, const fbx_node*> objects;
    std::vector<connection> connections;
    std::unordered_map<std::int64_t, std::vector<std::size_t>> by_parent, by_child;
    std::map<std::string, const fbx_node*> templates;  // "Class/Template" → Properties70

    int up_axis = 1, up_sign = 1;
    bool left_handed = false;
    double unit = 1.0;

    std::vector<model> models;  // pre-order: parents before children, 0 is the root
    std::unordered_map<std::int64_t, curve> curves;
    std::map<std::pair<std::int64_t, std::string>, animated_property> animated;
    std::optional<fbx_span> span;

    void index_objects();
    bool read_settings(QString* error);
    void build_tree();
    void read_animation();
    void read_models();

    const fbx_node* object(std::int64_t id) const {
        const auto it = objects.find(id);
        return it == objects.end() ? nullptr : it->second;
    }
    property_source properties(const fbx_node* obj, const std::string& tmpl) const {
        const auto it = templates.find(obj->name + "/" + tmpl);
        return {obj->child("Properties70"), it == templates.end() ? nullptr : it->second};
    }
    const animated_property* animation_of(std::int64_t id, const std::string& prop) const {
        const auto it = animated.find({id, prop});
        return it == animated.end() ? nullptr : &it->second;
    }
    // Objects linked below `parent` (object-to-object), in file order, of the given class.
    std::vector<const fbx_node*> linked_children(std::int64_t parent, std::string_view cls) const {
        std::vector<const fbx_node*> out;
        const auto it = by_parent.find(parent);
        if (it == by_parent.end()) return out;
        for (std::size_t c : it->second) {
            if (!connections[c].property.empty()) continue;
            const fbx_node* o = object(connections[c].child);
            if (o && o->name == cls) out.push_back(o);
        }
        return out;
    }
    mat local(const model& m, const fbx_time* t) const;
    mat global(int node, const fbx_time* t) const;
    fbx_matrix output(const mat& g) const;
};

void fbx_scene::impl::index_objects() {
    if (const fbx_node* objs = doc.find("Objects")) {
        for (const fbx_node& o : objs->children) {
            std::int64_t id;
            if (o.integer(0, id) && id != 0) objects.emplace(id, &o);
        }
    }
    if (const fbx_node* conns = doc.find("Connections")) {
        for (const fbx_node& c : conns->children) {
            std::string type;
            connection link;
            if (c.name != "C" || !c.text(0, type) || !c.integer(1, link.child) ||
                !c.integer(2, link.parent))
                continue;
            if (type == "OP") {
                if (!c.text(3, link.property) || link.property.empty()) continue;
            } else if (type != "OO") {
                continue;  // property-to-object links carry nothing that the import reads
            }
            by_parent[link.parent].push_back(connections.size());
            by_child[link.child].push_back(connections.size());
            connections.push_back(std::move(link));
        }
    }
    if (const fbx_node* defs = doc.find("Definitions")) {
        for (const fbx_node& type : defs->children) {
            if (type.name != "ObjectType") continue;
            const std::string cls = object_text(type, 0);
            for (const fbx_node& t : type.children) {
                if (t.name == "PropertyTemplate") {
                    templates[cls + "/" + object_text(t, 0)] = t.child("Properties70");
                }
            }
        }
    }
}

bool fbx_scene::impl::read_settings(QString* error) {
    const fbx_node* gs = doc.find("GlobalSettings");
    const property_source p{gs ? gs->child("Properties70") : nullptr, nullptr};
    const auto axis = [&](const char* name, double def) { return p.number(name, def); };
    const double up = axis("UpAxis", 1), front = axis("FrontAxis", 2), coord = axis("CoordAxis", 0);
    const double up_s = axis("UpAxisSign", 1), front_s = axis("FrontAxisSign", 1),
                 coord_s = axis("CoordAxisSign", 1);
    const auto valid_axis = [](double a) { return a == 0 || a == 1 || a == 2; };
    const auto valid_sign = [](double s) { return s == 1 || s == -1; };
    if (!valid_axis(up) || !valid_axis(front) || !valid_axis(coord) || up == front || up == coord ||
        front == coord || !valid_sign(up_s) || !valid_sign(front_s) || !valid_sign(coord_s)) {
        if (error) *error = QStringLiteral("bad axis system");
        return false;
    }
    up_axis = static_cast<int>(up);
    up_sign = static_cast<int>(up_s);
    // The axes are right-handed when coord × up points along front.
    vec c{0, 0, 0}, u{0, 0, 0}, f{0, 0, 0};
    c[static_cast<int>(coord)] = coord_s;
    u[up_axis] = up_s;
    f[static_cast<int>(front)] = front_s;
    const vec cu{c[1] * u[2] - c[2] * u[1], c[2] * u[0] - c[0] * u[2], c[0] * u[1] - c[1] * u[0]};
    left_handed = cu[0] * f[0] + cu[1] * f[1] + cu[2] * f[2] < 0;

    unit = p.number("UnitScaleFactor", 1.0);
    if (!(std::isfinite(unit) && unit > 0.0)) {
        if (error) *error = QStringLiteral("bad unit scale factor");
        return false;
    }
    return true;
}

void fbx_scene::impl::build_tree() {
    // Each model hangs below the first model (or the root, id 0) that it is linked to.
    std::unordered_map<std::int64_t, std::vector<std::int64_t>> children;
    std::unordered_set<std::int64_t> placed;
    for (const connection& c : connections) {
        if (!c.property.empty()) continue;
        const fbx_node* child = object(c.child);
        if (!child || child->name != "Model" || placed.count(c.child)) continue;
        const fbx_node* parent = object(c.parent);
        if (c.parent != 0 && (!parent || parent->name != "Model")) continue;
        placed.insert(c.child);
        children[c.parent].push_back(c.child);
    }
    // Number the nodes in pre-order; a model reached twice (a cycle) is taken once.
    std::vector<std::pair<std::int64_t, int>> stack{{0, -1}};
    std::unordered_set<std::int64_t> seen;
    while (!stack.empty()) {
        const auto [id, parent] = stack.back();
        stack.pop_back();
        if (!seen.insert(id).second) continue;
        model m;
        m.id = id;
        m.parent = parent;
        m.object = object(id);
        m.name = m.object ? short_name(object_text(*m.object, 1)) : std::string("RootNode");
        const int index = static_cast<int>(models.size());
        models.push_back(std::move(m));
        const auto it = children.find(id);
        if (it == children.end()) continue;
        for (auto c = it->second.rbegin(); c != it->second.rend(); ++c)
            stack.push_back({*c, index});
    }
}

void fbx_scene::impl::read_animation() {
    const fbx_node* objs = doc.find("Objects");
    if (!objs) return;
    const fbx_node* takes = doc.find("Takes");
    // The last stack with a span drives the timed transforms; its span comes from its own
    // LocalStart/LocalStop, else from the take of the same name.
    const fbx_node* stack = nullptr;
    for (const fbx_node& o : objs->children) {
        if (o.name != "AnimationStack") continue;
        const property_source p = properties(&o, "FbxAnimStack");
        std::optional<fbx_span> s;
        const fbx_node* own = o.child("Properties70");
        if (find_p(own, "LocalStart") || find_p(own, "LocalStop")) {
            s = fbx_span{p.time("LocalStart").value_or(0), p.time("LocalStop").value_or(0)};
        } else if (takes) {
            const std::string name = short_name(object_text(o, 1));
            for (const fbx_node& take : takes->children) {
                const fbx_node* local = take.child("LocalTime");
                std::int64_t a, b;
                if (take.name == "Take" && object_text(take, 0) == name && local &&
                    local->integer(0, a) && local->integer(1, b)) {
                    s = fbx_span{a, b};
                }
            }
        }
        if (s) {
            span = s;
            stack = &o;
        }
    }
    if (!stack) return;
    std::int64_t stack_id = 0;
    stack->integer(0, stack_id);

    for (const fbx_node* layer : linked_children(stack_id, "AnimationLayer")) {
        std::int64_t layer_id = 0;
        layer->integer(0, layer_id);
        for (const fbx_node* cn : linked_children(layer_id, "AnimationCurveNode")) {
            std::int64_t cn_id = 0;
            cn->integer(0, cn_id);
            animated_property prop;
            if (const fbx_node* props = cn->child("Properties70")) {
                for (const fbx_node& p : props->children) {
                    std::string name;
                    double v;
                    if (p.name == "P" && p.text(0, name) && p.number(4, v))
                        prop.channels[name].value = v;
                }
            }
            const auto links = by_parent.find(cn_id);
            if (links != by_parent.end()) {
                for (std::size_t c : links->second) {
                    const connection& link = connections[c];
                    const fbx_node* o = object(link.child);
                    if (link.property.empty() || !o || o->name != "AnimationCurve") continue;
                    const std::vector<std::int64_t> times = o->child("KeyTime")
                                                                ? o->child("KeyTime")->integers()
                                                                : std::vector<std::int64_t>();
                    const std::vector<double> values = o->child("KeyValueFloat")
                                                           ? o->child("KeyValueFloat")->reals()
                                                           : std::vector<double>();
                    // A curve whose keys and values disagree is corrupt and left out.
                    if (times.empty() || times.size() != values.size()) continue;
                    curve& k = curves[link.child];
                    if (k.times.empty()) {
                        std::vector<std::size_t> order(times.size());
                        std::iota(order.begin(), order.end(), 0);
                        std::stable_sort(
                            order.begin(), order.end(),
                            [&](std::size_t a, std::size_t b) { return times[a] < times[b]; });
                        for (std::size_t i : order) {
                            k.times.push_back(times[i]);
                            k.values.push_back(values[i]);
                        }
                    }
                    prop.channels[link.property].c = &k;
                }
            }
            // The curve node animates the properties it is linked to; the first layer that
            // animates a property wins.
            const auto targets = by_child.find(cn_id);
            if (targets == by_child.end()) continue;
            for (std::size_t c : targets->second) {
                const connection& link = connections[c];
                if (link.property.empty()) continue;
                animated.emplace(std::make_pair(link.parent, link.property), prop);
            }
        }
    }
}

void fbx_scene::impl::read_models() {
    for (model& m : models) {
        if (!m.object) continue;
        const property_source p = properties(m.object, "FbxNode");
        m.t = p.vector("Lcl Translation", m.t);
        m.r = p.vector("Lcl Rotation", m.r);
        m.s = p.vector("Lcl Scaling", m.s);
        m.rotation_offset = p.vector("RotationOffset", m.rotation_offset);
        m.rotation_pivot = p.vector("RotationPivot", m.rotation_pivot);
        m.scaling_offset = p.vector("ScalingOffset", m.scaling_offset);
        m.scaling_pivot = p.vector("ScalingPivot", m.scaling_pivot);
        m.pre_rotation = p.vector("PreRotation", m.pre_rotation);
        m.post_rotation = p.vector("PostRotation", m.post_rotation);
        const double order = p.number("RotationOrder", 0);  // 0..6; anything else reads as XYZ
        m.rotation_order = order >= 0 && order <= 6 ? static_cast<int>(order) : 0;
        m.geometric_t = p.vector("GeometricTranslation", m.geometric_t);
        m.geometric_r = p.vector("GeometricRotation", m.geometric_r);
        m.geometric_s = p.vector("GeometricScaling", m.geometric_s);
        m.anim_t = animation_of(m.id, "Lcl Translation");
        m.anim_r = animation_of(m.id, "Lcl Rotation");
        m.anim_s = animation_of(m.id, "Lcl Scaling");

        for (const fbx_node* attr : linked_children(m.id, "NodeAttribute")) {
            if (object_text(*attr, 2) != "Camera") continue;
            m.camera = attr;
            const property_source c = properties(attr, "FbxCamera");
            lens& l = m.camera_lens;
            const double width = c.number("FilmWidth", default_film_width);
            const double height = c.number("FilmHeight", default_film_height);
            if (std::isfinite(width) && width > 0.0) l.film_width = width;
            const double ratio = c.number("FilmAspectRatio", -1.0);
            if (std::isfinite(ratio) && ratio > 0.0) {
                l.aspect = ratio;
            } else if (std::isfinite(width / height) && width > 0.0 && height > 0.0) {
                l.aspect = width / height;
            }
            if (c.has("FocalLength")) {
                const double focal = c.number("FocalLength", default_focal_length);
                if (std::isfinite(focal) && focal > 0.0) l.focal_length = focal;
            } else if (c.has("FieldOfView")) {
                // A lens given only by its horizontal angle: the matching focal length.
                const double fov = c.number("FieldOfView", 0.0);
                if (fov > 0.0 && fov < 180.0) {
                    l.focal_length =
                        l.film_width * mm_per_inch * 0.5 / std::tan(fov * 0.5 * pi / 180.0);
                }
            }
            std::int64_t attr_id = 0;
            attr->integer(0, attr_id);
            l.focal_animation = animation_of(attr_id, "FocalLength");
            break;
        }
        for (const fbx_node* geo : linked_children(m.id, "Geometry")) {
            if (object_text(*geo, 2) == "Mesh") {
                m.geometry = geo;
                break;
            }
        }
    }
}

mat fbx_scene::impl::local(const model& m, const fbx_time* t) const {
    vec tr = m.t, rot = m.r, sc = m.s;
    if (t) {
        if (m.anim_t) tr = m.anim_t->value(tr, *t);
        if (m.anim_r) rot = m.anim_r->value(rot, *t);
        if (m.anim_s) sc = m.anim_s->value(sc, *t);
    }
    // T · Roff · Rp · Rpre · R · Rpost⁻¹ · Rp⁻¹ · Soff · Sp · S · Sp⁻¹; pre- and post-rotation
    // always turn in XYZ order.
    return translation(tr) * translation(m.rotation_offset) * translation(m.rotation_pivot) *
           euler(m.pre_rotation, 0) * euler(rot, m.rotation_order) *
           transposed(euler(m.post_rotation, 0)) * translation(negated(m.rotation_pivot)) *
           translation(m.scaling_offset) * translation(m.scaling_pivot) * scaling(sc) *
           translation(negated(m.scaling_pivot));
}

mat fbx_scene::impl::global(int node, const fbx_time* t) const {
    mat g;
    for (int i = node; i > 0; i = models[static_cast<std::size_t>(i)].parent) {
        g = local(models[static_cast<std::size_t>(i)], t) * g;
    }
    return g;
}

fbx_matrix fbx_scene::impl::output(const mat& g) const {
    // In centimetres: S · G · S⁻¹ with S the unit scale, which scales the translation only.
    fbx_matrix out;
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c)
            out[static_cast<std::size_t>(r * 4 + c)] = g.m[c][r];
    }
    for (int c = 0; c < 3; ++c)
        out[static_cast<std::size_t>(12 + c)] *= unit;
    return out;
}

fbx_scene::fbx_scene(std::unique_ptr<impl> d) : d_(std::move(d)) {}
fbx_scene::~fbx_scene() = default;

std::unique_ptr<fbx_scene> fbx_scene::open(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error) *error = QStringLiteral("cannot open file");
        return nullptr;
    }
    // The file is read whole; past this size it could not be a scene the viewport can show.
    constexpr qint64 max_file_bytes = 1LL << 30;
    if (file.size() > max_file_bytes) {
        if (error) *error = QStringLiteral("file larger than %1 MiB").arg(max_file_bytes >> 20);
        return nullptr;
    }
    QByteArray bytes;
    try {
        bytes = file.readAll();
    } catch (const std::bad_alloc&) {
        if (error) *error = QStringLiteral("out of memory");
        return nullptr;
    }
    if (file.error() != QFileDevice::NoError) {
        if (error) *error = QStringLiteral("cannot read file");
        return nullptr;
    }
    return from_bytes(bytes, error);
}

std::unique_ptr<fbx_scene> fbx_scene::from_bytes(const QByteArray& bytes, QString* error) {
    auto d = std::make_unique<impl>();
    if (!parse_fbx_document(bytes, d->doc, error)) return nullptr;
    try {
        d->index_objects();
        if (!d->read_settings(error)) return nullptr;
        d->build_tree();
        d->read_animation();
        d->read_models();
    } catch (const std::bad_alloc&) {
        if (error) *error = QStringLiteral("out of memory");
        return nullptr;
    }
    return std::unique_ptr<fbx_scene>(new fbx_scene(std::move(d)));
}

int fbx_scene::up_axis() const {
    return d_->up_axis;
}
int fbx_scene::up_sign() const {
    return d_->up_sign;
}
bool fbx_scene::left_handed() const {
    return d_->left_handed;
}
double fbx_scene::unit_scale() const {
    return d_->unit;
}
int fbx_scene::node_count() const {
    return static_cast<int>(d_->models.size());
}

QString fbx_scene::node_name(int node) const {
    if (node < 0 || node >= node_count()) return {};
    return QString::fromStdString(d_->models[static_cast<std::size_t>(node)].name);
}

int fbx_scene::find_node(node_type type) const {
    // Nodes are numbered in pre-order, so the first match in number order is the first in
    // pre-order.
    for (int i = 1; i < node_count(); ++i) {
        const model& m = d_->models[static_cast<std::size_t>(i)];
        if (type == node_type::camera ? m.camera != nullptr : m.geometry != nullptr) return i;
    }
    return -1;
}

fbx_matrix fbx_scene::global_transform(int node) const {
    if (node < 0 || node >= node_count()) node = 0;
    return d_->output(d_->global(node, nullptr));
}

fbx_matrix fbx_scene::global_transform(int node, fbx_time t) const {
    if (node < 0 || node >= node_count()) node = 0;
    return d_->output(d_->global(node, &t));
}

bool fbx_scene::mesh(int node, fbx_mesh& out, QString* error) const {
    const auto failed = [&](const char* reason) {
        if (error) *error = QString::fromLatin1(reason);
        return false;
    };
    if (node < 0 || node >= node_count()) return failed("no such node");
    const model& m = d_->models[static_cast<std::size_t>(node)];
    if (!m.geometry) return failed("node has no mesh");
    const fbx_node* vertices = m.geometry->child("Vertices");
    const fbx_node* indices = m.geometry->child("PolygonVertexIndex");
    if (!vertices || !indices) return failed("mesh without vertices or polygons");
    const std::vector<double> coords = vertices->reals();
    if (coords.size() % 3 != 0) return failed("mesh vertex array is not made of triples");

    fbx_mesh mesh;
    // The geometric offset moves the shape alone, not the node's children.
    const mat g = translation(m.geometric_t) * euler(m.geometric_r, 0) * scaling(m.geometric_s);
    mesh.points.reserve(coords.size() / 3);
    for (std::size_t i = 0; i < coords.size(); i += 3) {
        std::array<double, 3> p;
        for (int r = 0; r < 3; ++r) {
            p[r] = (g.m[r][0] * coords[i] + g.m[r][1] * coords[i + 1] + g.m[r][2] * coords[i + 2] +
                    g.m[r][3]) *
                   d_->unit;
        }
        mesh.points.push_back(p);
    }
    const std::int64_t count = static_cast<std::int64_t>(mesh.points.size());
    const std::vector<std::int64_t> raw = indices->integers();
    mesh.corners.reserve(raw.size());
    int size = 0;
    for (std::int64_t v : raw) {
        // The last corner of each polygon is stored as -(index + 1).
        const bool last = v < 0;
        const std::int64_t index = last ? -(v + 1) : v;
        if (index < 0 || index >= count) return failed("mesh corner index out of range");
        mesh.corners.push_back(static_cast<int>(index));
        ++size;
        if (last) {
            mesh.polygon_sizes.push_back(size);
            size = 0;
        }
    }
    if (size > 0) mesh.polygon_sizes.push_back(size);  // an unterminated last polygon
    out = std::move(mesh);
    return true;
}

double fbx_scene::camera_aspect(int node) const {
    if (node < 0 || node >= node_count()) return lens().aspect;
    return d_->models[static_cast<std::size_t>(node)].camera_lens.aspect;
}

double fbx_scene::camera_fov(int node) const {
    const lens l = node < 0 || node >= node_count()
                       ? lens()
                       : d_->models[static_cast<std::size_t>(node)].camera_lens;
    return l.fov(l.focal_length);
}

double fbx_scene::camera_fov(int node, fbx_time t) const {
    if (node < 0 || node >= node_count()) return camera_fov(node);
    const lens& l = d_->models[static_cast<std::size_t>(node)].camera_lens;
    const double focal = l.focal_animation
                             ? l.focal_animation->value("d|FocalLength", l.focal_length, t)
                             : l.focal_length;
    return l.fov(focal);
}

std::optional<fbx_span> fbx_scene::animation_span() const {
    return d_->span;
}

}  // namespace kavrin
