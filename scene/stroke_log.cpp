#include "scene/stroke_log.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <set>

#include <QEasingCurve>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QStringList>

namespace kavrin {

namespace {

constexpr const char* format_name = "kavrin stroke log";

bool same_brush(const brush_values& a, const brush_values& b) {
    return a.type == b.type && a.power == b.power && a.time == b.time && a.space == b.space &&
           a.vector == b.vector && a.near_curve == b.near_curve && a.select_curve == b.select_curve;
}

bool same_camera(const camera_values& a, const camera_values& b) {
    return a.focal_mag == b.focal_mag && a.brush_distance == b.brush_distance &&
           a.position == b.position && a.scene_view == b.scene_view && a.scene_eye == b.scene_eye;
}

// ---- Writing ----

// The shortest decimal that reads back as f: a brush power of 0.8 is written 0.8, not as the
// double nearest the float. Should reading it as a double and rounding to float ever miss f,
// the exact double is written instead.
double json_float(float f) {
    char text[32];
    const auto written = std::to_chars(text, text + sizeof(text), f);
    double shortest = 0.0;
    if (written.ec != std::errc() ||
        std::from_chars(text, written.ptr, shortest).ec != std::errc() || float(shortest) != f)
        return double(f);
    return shortest;
}

QJsonArray json_of(const vec3& v) {
    return {json_float(v[0]), json_float(v[1]), json_float(v[2])};
}

QJsonObject json_of(const key_state& k) {
    QJsonObject o;
    for (std::string_view name : key_state::names)
        o[QString::fromLatin1(name.data(), int(name.size()))] = k.at(name);
    return o;
}

QJsonObject json_of(const camera_values& c) {
    return {{"focal_mag", json_float(c.focal_mag)},
            {"brush_distance", json_float(c.brush_distance)},
            {"position", json_of(c.position)},
            {"scene_view", c.scene_view},
            {"scene_eye", json_of(c.scene_eye)}};
}

// The fields a stroke event carries once and a step repeats only where it differs.
QJsonObject stroke_fields(const step_inputs& s) {
    return {{"frame", s.frame},
            {"type", QString(brush_name(s.brush.type))},
            {"power", json_float(s.brush.power)},
            {"space", json_float(s.brush.space)},
            {"time", json_float(s.brush.time)},
            {"near_curve", s.brush.near_curve},
            {"select_curve", s.brush.select_curve},
            {"hard", s.hard},
            {"left", s.side_left},
            {"right", s.side_right},
            {"mirror", s.mirror},
            {"keys", json_of(s.keys)},
            {"camera", json_of(s.camera)}};
}

QJsonObject json_of(const stroke_end& e) {
    return {{"drew", e.drew},
            {"time", json_float(e.time)},
            {"near_curve", e.near_curve},
            {"left", e.side_left},
            {"right", e.side_right}};
}

QByteArray compact(const QJsonObject& o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// The members of a compact object without its braces.
QByteArray members(const QJsonObject& o) {
    const QByteArray text = compact(o);
    return text.mid(1, text.size() - 2);
}

// The text of json_float(f), written without a JSON document: set events carry many values.
void append_float(QByteArray& out, float f) {
    char text[32];
    std::to_chars_result written = std::to_chars(text, text + sizeof(text), f);
    double shortest = 0.0;
    if (std::from_chars(text, written.ptr, shortest).ec != std::errc() || float(shortest) != f)
        written = std::to_chars(text, text + sizeof(text), double(f));
    out.append(text, qsizetype(written.ptr - text));
}

// Ten values a line.
template <class T, class Append>
void append_list(QByteArray& out, const std::vector<T>& values, Append append) {
    out += '[';
    for (size_t i = 0; i < values.size(); ++i) {
        if (i) out += i % 10 ? "," : ",\n      ";
        append(out, values[i]);
    }
    out += ']';
}

QByteArray event_json(const log_event& e) {
    static const char* names[] = {"stroke", "undo", "redo", "cancel", "trim", "set"};
    QByteArray out = QByteArray("{\"event\":\"") + names[int(e.kind)] + "\"";
    if (e.kind == event_kind::set) {
        out += ",\"frame\":" + QByteArray::number(e.frame) + ",\"channel\":\"" +
               set_channel_name(e.channel).toLatin1() + "\",\n     \"ids\":";
        append_list(out, e.ids, [](QByteArray& o, int32_t id) { o += QByteArray::number(id); });
        out += ",\n     \"values\":";
        append_list(out, e.values, append_float);
        return out + "}";
    }
    if (e.kind != event_kind::stroke || e.steps.empty()) {
        out += ",\"frame\":" + QByteArray::number(e.frame);
        if (e.kind == event_kind::trim) out += ",\"depth\":" + QByteArray::number(e.depth);
        return out + "}";
    }
    const QJsonObject header = stroke_fields(e.steps.front());
    out += "," + members(header) + ",\"steps\":[";
    for (size_t i = 0; i < e.steps.size(); ++i) {
        const step_inputs& s = e.steps[i];
        QJsonObject step{{"pick", json_of(s.pick)}, {"vector", json_of(s.brush.vector)}};
        const QJsonObject fields = stroke_fields(s);
        for (auto it = fields.begin(); it != fields.end(); ++it)
            if (header.value(it.key()) != it.value()) step[it.key()] = it.value();
        out += (i ? ",\n      " : "\n      ") + compact(step);
    }
    out += "\n    ]";
    if (e.end) out += ",\"end\":" + compact(json_of(*e.end));
    return out + "}";
}

// ---- Reading ----

// A field that cannot be read: the path to it and why.
struct bad_field {
    QString path, why;
};

QString join(const QString& path, const QString& name) {
    return path.isEmpty() ? name : path + "." + name;
}

// The members of one JSON object, taken one by one; what is left at the end is unknown.
class object_reader {
  public:
    object_reader(const QJsonObject& o, QString path) : o_(o), path_(std::move(path)) {}

    const QString& path() const { return path_; }
    QString at(const QString& name) const { return join(path_, name); }

    // The member, or an undefined value when it is missing and not required.
    QJsonValue take(const QString& name, bool required) {
        known_.insert(name);
        const QJsonValue v = o_.value(name);
        if (v.isUndefined() && required) throw bad_field{at(name), "is missing"};
        return v;
    }
    // Hands the member and its path to read when it is there; a missing required one is an
    // error.
    template <class Read>
    void read(const QString& name, bool required, Read read) {
        const QJsonValue v = take(name, required);
        if (!v.isUndefined()) read(v, at(name));
    }
    // Refuses members nobody took: a misspelt field must not pass unnoticed.
    void finish(const std::set<QString>& also_known = {}) const {
        for (auto it = o_.begin(); it != o_.end(); ++it)
            if (!known_.count(it.key()) && !also_known.count(it.key()))
                throw bad_field{at(it.key()), "is not a field of this record"};
    }

  private:
    const QJsonObject& o_;
    const QString path_;
    std::set<QString> known_;
};

double number(const QJsonValue& v, const QString& path) {
    if (!v.isDouble()) throw bad_field{path, "must be a number"};
    return v.toDouble();
}

// A finite single-precision value within [lo, hi].
float single(const QJsonValue& v, const QString& path,
             double lo = -std::numeric_limits<float>::max(),
             double hi = std::numeric_limits<float>::max()) {
    const double d = number(v, path);
    // Bounds are compared in single precision: the brush clamps to 0.01f, which is below 0.01.
    if (std::isfinite(d) && std::fabs(d) <= std::numeric_limits<float>::max() &&
        float(d) >= float(lo) && float(d) <= float(hi))
        return float(d);
    constexpr double most = std::numeric_limits<float>::max();
    if (hi >= most && lo <= -most)
        throw bad_field{path, "must be a finite single-precision number"};
    if (hi >= most) throw bad_field{path, QString("must be a number of at least %1").arg(lo)};
    throw bad_field{path, QString("must be a number from %1 to %2").arg(lo).arg(hi)};
}

float positive(const QJsonValue& v, const QString& path) {
    const float f = single(v, path);
    if (!(f > 0.0f)) throw bad_field{path, "must be a positive number"};
    return f;
}

int integer(const QJsonValue& v, const QString& path, double lo, double hi) {
    const double d = number(v, path);
    if (d != std::floor(d) || d < lo || d > hi)
        throw bad_field{path, QString("must be a whole number from %1 to %2").arg(lo).arg(hi)};
    return int(d);
}

bool boolean(const QJsonValue& v, const QString& path) {
    if (!v.isBool()) throw bad_field{path, "must be true or false"};
    return v.toBool();
}

// Positions and directions far beyond any scene: a stroke's sums and squared distances of such
// values would leave single precision and drive particles to infinity.
constexpr double largest_coordinate = 1e15;

vec3 vector(const QJsonValue& v, const QString& path) {
    const QJsonArray a = v.toArray();
    if (!v.isArray() || a.size() != 3) throw bad_field{path, "must be a list of 3 numbers"};
    vec3 out;
    for (int i = 0; i < 3; ++i)
        out[i] = single(a[i], path + "[" + QString::number(i) + "]", -largest_coordinate,
                        largest_coordinate);
    return out;
}

QJsonObject object(const QJsonValue& v, const QString& path) {
    if (!v.isObject()) throw bad_field{path, "must be an object"};
    return v.toObject();
}

int frame_number(const QJsonValue& v, const QString& path) {
    return integer(v, path, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
}

// Easing types that QEasingCurve makes from its type alone: the spline types need points and
// the custom type a function, which a log cannot carry.
int curve(const QJsonValue& v, const QString& path) {
    static_assert(QEasingCurve::BezierSpline < QEasingCurve::TCBSpline &&
                  QEasingCurve::TCBSpline < QEasingCurve::Custom);
    return integer(v, path, 0, QEasingCurve::BezierSpline - 1);
}

// The brush's own bounds: a longer time would reach ever more frames.
float brush_time(const QJsonValue& v, const QString& path) {
    return single(v, path, 0.0001, 10000.0);
}

key_state keys_from(const QJsonValue& v, const QString& path, bool required) {
    const QJsonObject o = object(v, path);
    object_reader r(o, path);
    key_state k = key_state::released();
    for (std::string_view name : key_state::names) {
        const QString field = QString::fromLatin1(name.data(), int(name.size()));
        const QJsonValue held = r.take(field, required);
        if (!held.isUndefined()) k.set(name, boolean(held, r.at(field)));
    }
    r.finish();
    return k;
}

camera_values camera_from(const QJsonValue& v, const QString& path, bool required,
                          camera_values c) {
    const QJsonObject o = object(v, path);
    object_reader r(o, path);
    r.read("focal_mag", required, [&](const auto& v, const auto& p) {
        c.focal_mag = positive(v, p);
        c.brush_distance = c.focal_mag;  // unless given, as when no scene camera is used
    });
    r.read("brush_distance", required,
           [&](const auto& v, const auto& p) { c.brush_distance = positive(v, p); });
    r.read("position", required, [&](const auto& v, const auto& p) { c.position = vector(v, p); });
    r.read("scene_view", required,
           [&](const auto& v, const auto& p) { c.scene_view = boolean(v, p); });
    r.read("scene_eye", required,
           [&](const auto& v, const auto& p) { c.scene_eye = vector(v, p); });
    r.finish();
    return c;
}

// Reads the stroke fields that r holds into s; missing ones keep their value in s unless
// required.
void read_stroke_fields(object_reader& r, step_inputs& s, bool required) {
    auto field = [&](const char* name, auto read) { r.read(name, required, read); };
    using value = const QJsonValue&;
    using path = const QString&;
    field("frame", [&](value v, path p) { s.frame = frame_number(v, p); });
    field("type", [&](value v, path p) {
        const std::optional<brush_kind> kind =
            v.isString() ? parse_brush_kind(v.toString()) : std::nullopt;
        if (!kind) throw bad_field{p, "must be one of " + brush_names().join(", ")};
        s.brush.type = *kind;
    });
    field("power", [&](value v, path p) { s.brush.power = single(v, p, 0.01, 1.0); });
    field("space", [&](value v, path p) { s.brush.space = single(v, p, 0.01); });
    field("time", [&](value v, path p) { s.brush.time = brush_time(v, p); });
    field("near_curve", [&](value v, path p) { s.brush.near_curve = curve(v, p); });
    field("select_curve", [&](value v, path p) { s.brush.select_curve = curve(v, p); });
    field("hard", [&](value v, path p) { s.hard = boolean(v, p); });
    field("left", [&](value v, path p) { s.side_left = boolean(v, p); });
    field("right", [&](value v, path p) { s.side_right = boolean(v, p); });
    field("mirror", [&](value v, path p) { s.mirror = boolean(v, p); });
    field("keys", [&](value v, path p) { s.keys = keys_from(v, p, required); });
    field("camera", [&](value v, path p) { s.camera = camera_from(v, p, required, s.camera); });
}

stroke_end end_from(const QJsonValue& v, const QString& path, bool required, const step_inputs& s,
                    bool* drew_known) {
    const QJsonObject o = object(v, path);
    object_reader r(o, path);
    stroke_end e{false, s.brush.time, s.brush.near_curve, s.side_left, s.side_right};
    const QJsonValue drew = r.take("drew", required);
    *drew_known = !drew.isUndefined();
    if (*drew_known) e.drew = boolean(drew, r.at("drew"));
    r.read("time", required, [&](const auto& v, const auto& p) { e.time = brush_time(v, p); });
    r.read("near_curve", required,
           [&](const auto& v, const auto& p) { e.near_curve = curve(v, p); });
    r.read("left", required, [&](const auto& v, const auto& p) { e.side_left = boolean(v, p); });
    r.read("right", required, [&](const auto& v, const auto& p) { e.side_right = boolean(v, p); });
    r.finish();
    return e;
}

log_event plain_event(event_kind kind, int frame, int depth = 0) {
    log_event e;
    e.kind = kind;
    e.frame = frame;
    e.depth = depth;
    return e;
}

// A stroke event: its own fields, then each step on top of them. In a log every field is
// there; a stroke handed in by a script may leave out what has a sensible default.
log_event stroke_from(object_reader& r, bool from_log) {
    log_event e;
    e.kind = event_kind::stroke;
    step_inputs base;
    if (!from_log) {
        // What a script must say: where and with which brush.
        r.take("frame", true);
        r.take("type", true);
    }
    read_stroke_fields(r, base, from_log);
    e.frame = base.frame;
    const QJsonValue steps = r.take("steps", true);
    const QJsonArray list = steps.toArray();
    if (!steps.isArray() || list.isEmpty())
        throw bad_field{r.at("steps"), "must be a list of at least one step"};
    for (int i = 0; i < list.size(); ++i) {
        const QString path = r.at("steps") + "[" + QString::number(i) + "]";
        const QJsonObject o = object(list[i], path);
        object_reader step(o, path);
        step_inputs s = base;
        s.pick = vector(step.take("pick", true), step.at("pick"));
        if (QJsonValue v = step.take("vector", from_log); !v.isUndefined())
            s.brush.vector = vector(v, step.at("vector"));
        read_stroke_fields(step, s, false);
        if (s.frame != base.frame) throw bad_field{step.at("frame"), "must be the stroke's frame"};
        step.finish();
        e.steps.push_back(std::move(s));
    }
    const QJsonValue end = r.take("end", false);
    if (!end.isUndefined())
        e.end = end_from(end, r.at("end"), from_log, base, &e.drew_known);
    else if (!from_log)
        e.end = end_from(QJsonObject(), r.at("end"), false, base, &e.drew_known);
    r.finish({"event"});
    return e;
}

// A set event: its channel, ids (whole, each once) and values (finite, within a scene's bounds).
log_event set_from(object_reader& r) {
    log_event e = plain_event(event_kind::set, frame_number(r.take("frame", true), r.at("frame")));
    const QJsonValue channel = r.take("channel", true);
    bool known = false;
    for (set_channel c : {set_channel::position, set_channel::scale, set_channel::weight})
        if (channel == QJsonValue(set_channel_name(c))) {
            e.channel = c;
            known = true;
        }
    if (!known) throw bad_field{r.at("channel"), "must be one of position, scale, weight"};
    const QJsonValue ids = r.take("ids", true), values = r.take("values", true);
    if (!ids.isArray()) throw bad_field{r.at("ids"), "must be a list"};
    if (!values.isArray()) throw bad_field{r.at("values"), "must be a list"};
    const QJsonArray id_list = ids.toArray(), value_list = values.toArray();
    std::set<int32_t> seen;
    for (int i = 0; i < id_list.size(); ++i) {
        const QString at = r.at("ids") + "[" + QString::number(i) + "]";
        const int id = integer(id_list[i], at, std::numeric_limits<int32_t>::min(),
                               std::numeric_limits<int32_t>::max());
        if (!seen.insert(id).second) throw bad_field{at, "repeats particle " + QString::number(id)};
        e.ids.push_back(id);
    }
    const int width = set_channel_width(e.channel);
    if (value_list.size() != id_list.size() * width)
        throw bad_field{
            r.at("values"),
            QString("must hold %1 numbers, %2 for each id").arg(id_list.size() * width).arg(width)};
    const double lo = e.channel == set_channel::position ? -largest_coordinate
                      : e.channel == set_channel::scale  ? 0.0
                                                         : -std::numeric_limits<float>::max();
    const double hi =
        e.channel == set_channel::position ? largest_coordinate : std::numeric_limits<float>::max();
    e.values.reserve(size_t(value_list.size()));
    for (int i = 0; i < value_list.size(); ++i)
        e.values.push_back(
            single(value_list[i], r.at("values") + "[" + QString::number(i) + "]", lo, hi));
    r.finish();
    return e;
}

log_event event_from(const QJsonValue& v, const QString& path) {
    const QJsonObject o = object(v, path);
    object_reader r(o, path);
    const QJsonValue kind = r.take("event", true);
    static const std::map<QString, event_kind> kinds{
        {"stroke", event_kind::stroke}, {"undo", event_kind::undo}, {"redo", event_kind::redo},
        {"cancel", event_kind::cancel}, {"trim", event_kind::trim}, {"set", event_kind::set}};
    const auto found = kinds.find(kind.toString());
    if (!kind.isString() || found == kinds.end())
        throw bad_field{r.at("event"), "must be one of stroke, undo, redo, cancel, trim, set"};
    if (found->second == event_kind::stroke) return stroke_from(r, true);
    if (found->second == event_kind::set) return set_from(r);
    log_event e = plain_event(found->second, frame_number(r.take("frame", true), r.at("frame")));
    if (e.kind == event_kind::trim)
        e.depth = integer(r.take("depth", true), r.at("depth"), 0, std::numeric_limits<int>::max());
    r.finish();
    return e;
}

QString place_of(const QByteArray& json, int offset) {
    offset = std::clamp(offset, 0, int(json.size()));
    const QByteArray before = json.left(offset);
    const int line = int(before.count('\n')) + 1;
    const int column = offset - int(before.lastIndexOf('\n'));
    return QString("line %1, column %2").arg(line).arg(column);
}

// Where text leaves the JSON grammar in ways Qt's reader lets pass: numbers such as .5, 1. or
// 01, and raw control characters inside strings. -1 when it does not.
qsizetype lax_json_at(const QByteArray& text, QString* why) {
    const qsizetype n = text.size();
    auto digit = [&](qsizetype k) { return k < n && text[k] >= '0' && text[k] <= '9'; };
    for (qsizetype k = 0; k < n; ++k) {
        const char c = text[k];
        if (c == '"') {
            for (++k; k < n && text[k] != '"'; ++k) {
                if (uchar(text[k]) < 0x20) {
                    *why = "raw control character in a string";
                    return k;
                }
                if (text[k] == '\\') ++k;
            }
        } else if (c == '.') {
            *why = "a number needs digits before its decimal point";
            return k;
        } else if (c == '-' || digit(k)) {
            // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
            const qsizetype start = k;
            if (text[k] == '-' && !digit(++k)) {
                *why = "a number needs digits after its sign";
                return start;
            }
            if (text[k] == '0' && digit(k + 1)) {
                *why = "a number must not start with 0";
                return start;
            }
            while (digit(k))
                ++k;
            if (k < n && text[k] == '.') {
                if (!digit(++k)) {
                    *why = "a number needs digits after its decimal point";
                    return start;
                }
                while (digit(k))
                    ++k;
            }
            if (k < n && (text[k] == 'e' || text[k] == 'E')) {
                if (++k < n && (text[k] == '+' || text[k] == '-')) ++k;
                if (!digit(k)) {
                    *why = "a number needs digits in its exponent";
                    return start;
                }
                while (digit(k))
                    ++k;
            }
            --k;
        }
    }
    return -1;
}

}  // namespace

// ---- Records ----

bool step_inputs::operator==(const step_inputs& o) const {
    return frame == o.frame && same_brush(brush, o.brush) && same_camera(camera, o.camera) &&
           keys == o.keys && pick == o.pick && hard == o.hard && side_left == o.side_left &&
           side_right == o.side_right && mirror == o.mirror;
}

namespace {

source_fingerprint source_from(const QJsonValue& v) {
    source_fingerprint source;
    if (v.isUndefined()) return source;
    if (!v.isArray()) throw bad_field{"source", "must be a list"};
    const QJsonArray frames = v.toArray();
    static const QRegularExpression hash("^[0-9a-f]{16}$");
    for (int i = 0; i < frames.size(); ++i) {
        const QString path = "source[" + QString::number(i) + "]";
        if (!frames[i].isObject()) throw bad_field{path, "must be an object"};
        const QJsonObject entry = frames[i].toObject();
        object_reader r(entry, path);
        source_frame f;
        f.frame = frame_number(r.take("frame", true), r.at("frame"));
        f.particles = integer(r.take("particles", true), r.at("particles"), 0,
                              std::numeric_limits<int32_t>::max());
        const QJsonValue ids = r.take("ids", true);
        if (!ids.isString() || !hash.match(ids.toString()).hasMatch())
            throw bad_field{r.at("ids"), "must be 16 lowercase hexadecimal digits"};
        f.ids = ids.toString().toULongLong(nullptr, 16);
        r.finish();
        if (!source.empty() && f.frame <= source.back().frame)
            throw bad_field{path + ".frame", "must follow the frame before it"};
        source.push_back(f);
    }
    return source;
}

}  // namespace

bool stroke_end::operator==(const stroke_end& o) const {
    return drew == o.drew && time == o.time && near_curve == o.near_curve &&
           side_left == o.side_left && side_right == o.side_right;
}

bool log_event::operator==(const log_event& o) const {
    return kind == o.kind && frame == o.frame && depth == o.depth && steps == o.steps &&
           end == o.end && drew_known == o.drew_known && channel == o.channel && ids == o.ids &&
           values == o.values;
}

QString set_channel_name(set_channel channel) {
    switch (channel) {
        case set_channel::scale:
            return "scale";
        case set_channel::weight:
            return "weight";
        case set_channel::position:
            break;
    }
    return "position";
}

int set_channel_width(set_channel channel) {
    return channel == set_channel::position ? 3 : 1;
}

void stroke_log::step(const step_inputs& in) {
    mutex_hold hold(lock_);
    if (!open_) {
        log_event e;
        e.kind = event_kind::stroke;
        e.frame = in.frame;
        open_at_ = events_.size();
        events_.push_back(std::move(e));
        open_ = true;
    }
    events_[open_at_].steps.push_back(in);
}

void stroke_log::end_stroke(const stroke_end& end) {
    mutex_hold hold(lock_);
    if (!open_) return;
    events_[open_at_].end = end;
    open_ = false;
}

void stroke_log::undo(int frame) {
    mutex_hold hold(lock_);
    events_.push_back(plain_event(event_kind::undo, frame));
}

void stroke_log::redo(int frame) {
    mutex_hold hold(lock_);
    events_.push_back(plain_event(event_kind::redo, frame));
}

void stroke_log::cancel(int frame) {
    mutex_hold hold(lock_);
    open_ = false;
    events_.push_back(plain_event(event_kind::cancel, frame));
}

void stroke_log::trim(int frame, int depth) {
    mutex_hold hold(lock_);
    events_.push_back(plain_event(event_kind::trim, frame, depth));
}

void stroke_log::append(const log_event& event) {
    mutex_hold hold(lock_);
    events_.push_back(event);
}

std::vector<log_event> stroke_log::events() const {
    mutex_hold hold(lock_);
    return events_;
}

// ---- JSON ----

QByteArray stroke_log_json(const std::vector<log_event>& events, int version,
                           const source_fingerprint& source) {
    QByteArray out = QByteArray("{\n  \"format\": \"") + format_name +
                     "\",\n  \"version\": " + QByteArray::number(version) + ",\n";
    if (!source.empty()) {
        out += "  \"source\": [";
        for (size_t i = 0; i < source.size(); ++i)
            out += QByteArray(i ? ",\n    " : "\n    ") +
                   "{\"frame\": " + QByteArray::number(source[i].frame) +
                   ", \"particles\": " + QByteArray::number(source[i].particles) + ", \"ids\": \"" +
                   QByteArray::number(qulonglong(source[i].ids), 16).rightJustified(16, '0') +
                   "\"}";
        out += "\n  ],\n";
    }
    out += "  \"events\": [";
    for (size_t i = 0; i < events.size(); ++i)
        out += (i ? ",\n    " : "\n    ") + event_json(events[i]);
    return out + (events.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

std::optional<std::vector<log_event>> read_stroke_log(const QByteArray& json, QString* error,
                                                      int* version_read,
                                                      source_fingerprint* source_read) {
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parse);
    if (parse.error != QJsonParseError::NoError) {
        *error = place_of(json, parse.offset) + ": " + parse.errorString();
        return std::nullopt;
    }
    QString lax;
    if (const qsizetype at = lax_json_at(json, &lax); at >= 0) {
        *error = place_of(json, int(at)) + ": " + lax;
        return std::nullopt;
    }
    try {
        if (!doc.isObject()) throw bad_field{"", "the log must be a JSON object"};
        const QJsonObject top = doc.object();
        object_reader r(top, "");
        if (r.take("format", true) != QJsonValue(format_name))
            throw bad_field{"format", QString("must be \"%1\"").arg(format_name)};
        const QJsonValue version = r.take("version", true);
        const int v = integer(version, "version", 1, std::numeric_limits<int>::max());
        if (v > stroke_log_version)
            throw bad_field{
                "version",
                QString("%1 is newer than this program reads (%2)").arg(v).arg(stroke_log_version)};
        const source_fingerprint source = source_from(r.take("source", false));
        const QJsonValue list = r.take("events", true);
        if (!list.isArray()) throw bad_field{"events", "must be a list"};
        r.finish();
        std::vector<log_event> events;
        const QJsonArray all = list.toArray();
        for (int i = 0; i < all.size(); ++i) {
            const QString path = "events[" + QString::number(i) + "]";
            events.push_back(event_from(all[i], path));
            // Its positions are in the order of version 2; version 1 scenes hold them reversed.
            if (events.back().kind == event_kind::set && v == stroke_log_reversed_version)
                throw bad_field{path, "a set event needs a log of version 2"};
        }
        if (version_read) *version_read = v;
        if (source_read) *source_read = source;
        return events;
    } catch (const bad_field& bad) {
        *error = (bad.path.isEmpty() ? QString() : bad.path + ": ") + bad.why;
        return std::nullopt;
    }
}

std::optional<log_event> read_stroke(const QJsonObject& stroke, QString* error) {
    try {
        object_reader r(stroke, "");
        const QJsonValue kind = r.take("event", false);
        if (!kind.isUndefined() && kind != QJsonValue("stroke"))
            throw bad_field{"event", "must be \"stroke\""};
        return stroke_from(r, false);
    } catch (const bad_field& bad) {
        *error = (bad.path.isEmpty() ? QString() : bad.path + ": ") + bad.why;
        return std::nullopt;
    }
}

}  // namespace kavrin
