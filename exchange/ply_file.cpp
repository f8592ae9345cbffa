#include "exchange/ply_file.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include <QFile>
#include <QFileInfo>

#include "scene/stroke_log.h"
#include "exchange/file_beside.h"

namespace kavrin {

namespace {

static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "binary output is little-endian");

constexpr size_t header_limit = 1 << 20;  // bytes of header no real file comes near
constexpr size_t buffer_size = 1 << 20;

[[noreturn]] void refuse(const QString& path, const QString& check) {
    throw bin_error(path, check);
}

enum class ply_type : uint8_t { int8, uint8, int16, uint16, int32, uint32, float32, float64 };

size_t size_of(ply_type t) {
    switch (t) {
        case ply_type::int8:
        case ply_type::uint8:
            return 1;
        case ply_type::int16:
        case ply_type::uint16:
            return 2;
        case ply_type::int32:
        case ply_type::uint32:
        case ply_type::float32:
            return 4;
        case ply_type::float64:
            break;
    }
    return 8;
}

bool integral(ply_type t) {
    return t != ply_type::float32 && t != ply_type::float64;
}

std::optional<ply_type> parse_type(std::string_view name) {
    static const std::pair<std::string_view, ply_type> names[] = {
        {"char", ply_type::int8},      {"int8", ply_type::int8},
        {"uchar", ply_type::uint8},    {"uint8", ply_type::uint8},
        {"short", ply_type::int16},    {"int16", ply_type::int16},
        {"ushort", ply_type::uint16},  {"uint16", ply_type::uint16},
        {"int", ply_type::int32},      {"int32", ply_type::int32},
        {"uint", ply_type::uint32},    {"uint32", ply_type::uint32},
        {"float", ply_type::float32},  {"float32", ply_type::float32},
        {"double", ply_type::float64}, {"float64", ply_type::float64}};
    for (const auto& [n, t] : names)
        if (n == name) return t;
    return std::nullopt;
}

// The range of an integer type, for values read as text.
std::pair<double, double> range_of(ply_type t) {
    switch (t) {
        case ply_type::int8:
            return {-128.0, 127.0};
        case ply_type::uint8:
            return {0.0, 255.0};
        case ply_type::int16:
            return {-32768.0, 32767.0};
        case ply_type::uint16:
            return {0.0, 65535.0};
        case ply_type::int32:
            return {-2147483648.0, 2147483647.0};
        case ply_type::uint32:
            return {0.0, 4294967295.0};
        default:
            break;
    }
    return {-std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
}

struct ply_property {
    std::string name;
    ply_type type = ply_type::float32;
    bool list = false;
    ply_type count = ply_type::uint8;  // type of a list's length
};

struct ply_element {
    std::string name;
    long long count = 0;
    std::vector<ply_property> properties;
    size_t line = 0;  // its "element" line among the header lines
    int find(std::string_view name) const {
        for (size_t i = 0; i < properties.size(); ++i)
            if (properties[i].name == name) return int(i);
        return -1;
    }
};

enum class ply_encoding { ascii, little, big };

struct ply_header {
    ply_encoding encoding = ply_encoding::ascii;
    std::vector<std::string> lines;  // as read, "ply" and "end_header" included
    std::vector<ply_element> elements;
    size_t format_line = 0;
};

// One row of an element: every value (a list gives its length, then its items) and where it
// lies in the row as read (byte offset in binary, token in text).
struct ply_row {
    std::vector<double> values;
    std::vector<uint32_t> at;     // binary: byte offset of each value; text: token start
    std::vector<uint32_t> width;  // text: token length
    std::vector<uint32_t> first;  // value index of each property's first value
    std::string bytes;            // the row as read
};

double decode(const char* p, ply_type t, bool swap) {
    char b[8];
    const size_t n = size_of(t);
    if (swap)
        for (size_t i = 0; i < n; ++i)
            b[i] = p[n - 1 - i];
    else
        std::memcpy(b, p, n);
    switch (t) {
        case ply_type::int8:
            return double(int8_t(b[0]));
        case ply_type::uint8:
            return double(uint8_t(b[0]));
        case ply_type::int16: {
            int16_t v;
            std::memcpy(&v, b, 2);
            return v;
        }
        case ply_type::uint16: {
            uint16_t v;
            std::memcpy(&v, b, 2);
            return v;
        }
        case ply_type::int32: {
            int32_t v;
            std::memcpy(&v, b, 4);
            return v;
        }
        case ply_type::uint32: {
            uint32_t v;
            std::memcpy(&v, b, 4);
            return v;
        }
        case ply_type::float32: {
            float v;
            std::memcpy(&v, b, 4);
            return v;
        }
        case ply_type::float64:
            break;
    }
    double v;
    std::memcpy(&v, b, 8);
    return v;
}

// Little-endian bytes of a value in a property's type; integers are rounded and clamped.
void encode(double v, ply_type t, std::string& out) {
    if (integral(t)) {
        const auto [lo, hi] = range_of(t);
        v = std::clamp(std::round(v), lo, hi);
    }
    char b[8];
    switch (t) {
        case ply_type::int8:
            b[0] = char(int8_t(v));
            break;
        case ply_type::uint8:
            b[0] = char(uint8_t(v));
            break;
        case ply_type::int16: {
            const int16_t x = int16_t(v);
            std::memcpy(b, &x, 2);
            break;
        }
        case ply_type::uint16: {
            const uint16_t x = uint16_t(v);
            std::memcpy(b, &x, 2);
            break;
        }
        case ply_type::int32: {
            const int32_t x = int32_t(v);
            std::memcpy(b, &x, 4);
            break;
        }
        case ply_type::uint32: {
            const uint32_t x = uint32_t(v);
            std::memcpy(b, &x, 4);
            break;
        }
        case ply_type::float32: {
            const float x = float(v);
            std::memcpy(b, &x, 4);
            break;
        }
        case ply_type::float64:
            std::memcpy(b, &v, 8);
            break;
    }
    out.append(b, size_of(t));
}

// Text of a value in a property's type, the shortest that reads back the same.
void format(double v, ply_type t, std::string& out) {
    char text[64];
    std::to_chars_result r;
    if (integral(t)) {
        const auto [lo, hi] = range_of(t);
        r = std::to_chars(text, text + sizeof text, (long long)std::clamp(std::round(v), lo, hi));
    } else if (t == ply_type::float32) {
        r = std::to_chars(text, text + sizeof text, float(v));
    } else {
        r = std::to_chars(text, text + sizeof text, v);
    }
    out.append(text, size_t(r.ptr - text));
}

// A PLY file read front to back through a buffer, a row at a time.
class ply_input {
  public:
    explicit ply_input(const QString& path) : path_(path), file_(path) {
        if (!file_.open(QIODevice::ReadOnly))
            refuse(path, "cannot be opened: " + file_.errorString());
        buffer_.resize(buffer_size);
        read_header();
    }

    const ply_header& header() const { return header_; }
    const QString& path() const { return path_; }

    // Reads the next row of element e.
    void row(const ply_element& e, ply_row& r) {
        r.values.clear();
        r.at.clear();
        r.width.clear();
        r.first.clear();
        if (header_.encoding == ply_encoding::ascii)
            text_row(e, r);
        else
            binary_row(e, r);
    }

  private:
    QString path_;
    QFile file_;
    ply_header header_;
    std::vector<char> buffer_;
    size_t pos_ = 0, end_ = 0;

    // Makes n bytes from pos_ on available; false when the file ends first.
    bool have(size_t n) {
        if (end_ - pos_ >= n) return true;
        std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
        if (buffer_.size() < n) buffer_.resize(n);
        while (end_ < n) {
            const qint64 got = file_.read(buffer_.data() + end_, qint64(buffer_.size() - end_));
            if (got <= 0) return false;
            end_ += size_t(got);
        }
        return true;
    }

    qint64 remaining() const { return file_.size() - file_.pos() + qint64(end_ - pos_); }

    // The next line, without its end; false at the end of the file.
    bool line(std::string& out, size_t limit) {
        out.clear();
        for (;;) {
            const char* from = buffer_.data() + pos_;
            const char* nl = static_cast<const char*>(std::memchr(from, '\n', end_ - pos_));
            if (nl) {
                out.append(from, size_t(nl - from));
                pos_ += size_t(nl - from) + 1;
                if (!out.empty() && out.back() == '\r') out.pop_back();
                return true;
            }
            out.append(from, end_ - pos_);
            pos_ = end_;
            if (out.size() > limit) refuse(path_, "a line is too long");
            if (!have(1)) return !out.empty();
        }
    }

    static std::vector<std::string_view> words(std::string_view s) {
        std::vector<std::string_view> out;
        size_t i = 0;
        while (i < s.size()) {
            while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
                ++i;
            const size_t start = i;
            while (i < s.size() && s[i] != ' ' && s[i] != '\t')
                ++i;
            if (i > start) out.push_back(s.substr(start, i - start));
        }
        return out;
    }

    void read_header() {
        std::string text;
        size_t total = 0;
        bool ended = false;
        while (!ended) {
            if (!line(text, header_limit)) refuse(path_, "the header has no end_header");
            total += text.size() + 1;
            if (total > header_limit) refuse(path_, "the header is too long");
            const size_t index = header_.lines.size();
            header_.lines.push_back(text);
            const auto w = words(text);
            if (index == 0) {
                if (text != "ply") refuse(path_, "not a PLY file (no \"ply\" line)");
                continue;
            }
            if (w.empty()) continue;
            if (w[0] == "end_header") {
                ended = true;
            } else if (w[0] == "comment" || w[0] == "obj_info") {
            } else if (w[0] == "format") {
                if (w.size() < 3 || w[2] != "1.0") refuse(path_, "unsupported format line");
                if (w[1] == "ascii")
                    header_.encoding = ply_encoding::ascii;
                else if (w[1] == "binary_little_endian")
                    header_.encoding = ply_encoding::little;
                else if (w[1] == "binary_big_endian")
                    header_.encoding = ply_encoding::big;
                else
                    refuse(path_, "unsupported format " +
                                      QString::fromUtf8(w[1].data(), int(w[1].size())));
                header_.format_line = index;
            } else if (w[0] == "element") {
                long long count = -1;
                if (w.size() != 3 ||
                    std::from_chars(w[2].data(), w[2].data() + w[2].size(), count).ec !=
                        std::errc() ||
                    count < 0 || count > std::numeric_limits<int32_t>::max())
                    refuse(path_, "bad element line: " + QString::fromStdString(text));
                header_.elements.push_back({std::string(w[1]), count, {}, index});
            } else if (w[0] == "property") {
                if (header_.elements.empty()) refuse(path_, "a property before any element");
                ply_property p;
                std::optional<ply_type> t, c;
                if (w.size() == 5 && w[1] == "list") {
                    c = parse_type(w[2]);
                    t = parse_type(w[3]);
                    p.list = true;
                    p.name = std::string(w[4]);
                    if (c && !integral(*c)) c.reset();
                } else if (w.size() == 3) {
                    t = parse_type(w[1]);
                    c = ply_type::uint8;
                    p.name = std::string(w[2]);
                }
                if (!t || !c) refuse(path_, "bad property line: " + QString::fromStdString(text));
                p.type = *t;
                p.count = *c;
                header_.elements.back().properties.push_back(p);
            } else {
                refuse(path_, "unknown header line: " + QString::fromStdString(text));
            }
        }
        if (header_.format_line == 0) refuse(path_, "the header has no format line");
    }

    void binary_row(const ply_element& e, ply_row& r) {
        const bool swap = header_.encoding == ply_encoding::big;
        size_t length = 0;
        auto take = [&](ply_type t) {
            const size_t n = size_of(t);
            if (!have(length + n))
                refuse(path_, "truncated in element " + QString::fromStdString(e.name));
            r.values.push_back(decode(buffer_.data() + pos_ + length, t, swap));
            r.at.push_back(uint32_t(length));
            length += n;
            return r.values.back();
        };
        each_value(e, r, take, [&](double n, ply_type t) {
            return n >= 0 && n * double(size_of(t)) <= double(remaining());
        });
        r.bytes.assign(buffer_.data() + pos_, length);
        pos_ += length;
    }

    void text_row(const ply_element& e, ply_row& r) {
        r.bytes.clear();
        std::string more;
        size_t next = 0;  // where the next token is looked for
        auto take = [&](ply_type t) {
            for (;;) {
                while (next < r.bytes.size() && (r.bytes[next] == ' ' || r.bytes[next] == '\t'))
                    ++next;
                if (next < r.bytes.size()) break;
                // A row may go on over the next line.
                if (!line(more, header_limit))
                    refuse(path_, "truncated in element " + QString::fromStdString(e.name));
                r.bytes += ' ';
                r.bytes += more;
            }
            const size_t start = next;
            while (next < r.bytes.size() && r.bytes[next] != ' ' && r.bytes[next] != '\t')
                ++next;
            const char* b = r.bytes.data() + start;
            const char* f = r.bytes.data() + next;
            double v = 0.0;
            bool ok;
            if (t == ply_type::float32) {
                float x = 0.0f;
                ok = std::from_chars(b, f, x).ptr == f;
                v = x;
            } else {
                ok = std::from_chars(b, f, v).ptr == f;
            }
            if (ok && integral(t)) {
                const auto [lo, hi] = range_of(t);
                ok = v == std::floor(v) && v >= lo && v <= hi;
            }
            if (!ok)
                refuse(path_, "bad value \"" + QString::fromUtf8(b, int(f - b)) + "\" in element " +
                                  QString::fromStdString(e.name));
            r.values.push_back(v);
            r.at.push_back(uint32_t(start));
            r.width.push_back(uint32_t(next - start));
            return v;
        };
        // Each item takes two characters at least.
        each_value(e, r, take, [&](double n, ply_type) {
            return n * 2.0 <= double(remaining()) + double(r.bytes.size());
        });
    }

    // Takes every value of a row: a property's value, or a list's length and items, checking
    // with fits(length, item type) that the items can be in the file before reading them.
    template <class Take, class Fits>
    void each_value(const ply_element& e, ply_row& r, Take& take, Fits fits) {
        for (const ply_property& p : e.properties) {
            r.first.push_back(uint32_t(r.values.size()));
            if (!p.list) {
                take(p.type);
                continue;
            }
            const double n = take(p.count);
            if (!fits(n, p.type))
                refuse(path_, "a list of element " + QString::fromStdString(e.name) +
                                  " runs past the end of the file");
            for (long long i = 0; i < (long long)n; ++i)
                take(p.type);
        }
    }
};

// Where the particle values of the vertex rows are.
struct vertex_columns {
    size_t element = 0;
    int x = -1, y = -1, z = -1, id = -1, scale = -1;
};

vertex_columns find_vertices(const ply_input& in) {
    const ply_header& h = in.header();
    vertex_columns c;
    auto it = std::find_if(h.elements.begin(), h.elements.end(),
                           [](const ply_element& e) { return e.name == "vertex"; });
    if (it == h.elements.end()) refuse(in.path(), "no vertex element");
    c.element = size_t(it - h.elements.begin());
    c.x = it->find("x");
    c.y = it->find("y");
    c.z = it->find("z");
    c.id = it->find("id");
    c.scale = it->find("pscale");
    if (c.scale < 0) c.scale = it->find("scale");
    for (int k : {c.x, c.y, c.z})
        if (k < 0 || it->properties[size_t(k)].list)
            refuse(in.path(), "the vertex element lacks x, y or z");
    if (c.id >= 0 &&
        (it->properties[size_t(c.id)].list || !integral(it->properties[size_t(c.id)].type)))
        refuse(in.path(), "the vertex id property is not an integer");
    if (c.scale >= 0 && it->properties[size_t(c.scale)].list)
        refuse(in.path(), "the vertex scale property is a list");
    return c;
}

// A vertex row as a particle: its id, position (file order) and scale, checked.
struct vertex_values {
    int32_t id;
    vec3 position;
    float scale;
};

vertex_values vertex_of(const ply_row& r, const vertex_columns& c, int32_t record,
                        const QString& path) {
    vertex_values v;
    const double id = c.id >= 0 ? r.values[r.first[size_t(c.id)]] : double(record);
    if (id < std::numeric_limits<int32_t>::min() || id > std::numeric_limits<int32_t>::max())
        refuse(path, QString("particle id %1 of vertex %2 does not fit in 32 bits")
                         .arg(id, 0, 'f', 0)
                         .arg(record));
    v.id = int32_t(id);
    v.position = vec3(float(r.values[r.first[size_t(c.x)]]), float(r.values[r.first[size_t(c.y)]]),
                      float(r.values[r.first[size_t(c.z)]]));
    v.scale = c.scale >= 0 ? float(r.values[r.first[size_t(c.scale)]]) : 1.0f;
    if (!std::isfinite(v.position[0]) || !std::isfinite(v.position[1]) ||
        !std::isfinite(v.position[2]))
        refuse(
            path,
            QString("vertex %1 (particle %2): the position is not finite").arg(record).arg(v.id));
    if (!std::isfinite(v.scale))
        refuse(path,
               QString("vertex %1 (particle %2): the scale is not finite").arg(record).arg(v.id));
    return v;
}

// A row on its way out: the values as read, but for those given new values.
class row_writer {
  public:
    explicit row_writer(bool text) : text_(text) {}
    void start() { out_.clear(); }
    // Value k of row r (of property p), as read or as the new value.
    void value(const ply_row& r, size_t k, ply_type t, bool swap, const double* replaced) {
        if (text_) {
            if (!out_.empty()) out_ += ' ';
            if (replaced)
                format(*replaced, t, out_);
            else
                out_.append(r.bytes, r.at[k], r.width[k]);
            return;
        }
        if (replaced) {
            encode(*replaced, t, out_);
        } else if (swap) {
            encode(r.values[k], t, out_);
        } else {
            out_.append(r.bytes, r.at[k], size_of(t));
        }
    }
    void end() {
        if (text_) out_ += '\n';
    }
    const std::string& bytes() const { return out_; }

  private:
    bool text_;
    std::string out_;
};

bool is_index_list(const ply_property& p) {
    return p.list && (p.name == "vertex_indices" || p.name == "vertex_index");
}

// Goes through the source once: checks it still is the file the frame was read from, and hands
// every row to be written to write (null: only counts them).
struct pass_counts {
    std::vector<long long> rows;  // rows kept per element
};

pass_counts pass(const QString& source, const frame_set& fs, position_order order,
                 const std::function<void(const std::string&)>* write) {
    ply_input in(source);
    const ply_header& h = in.header();
    const vertex_columns c = find_vertices(in);
    const ply_element& vertices = h.elements[c.element];
    if (vertices.count != fs.source_records)
        refuse(source, QString("changed since it was read: %1 vertices, %2 expected")
                           .arg(vertices.count)
                           .arg(fs.source_records));
    const bool text = h.encoding == ply_encoding::ascii;
    const bool swap = h.encoding == ply_encoding::big;
    pass_counts counts;
    counts.rows.assign(h.elements.size(), 0);
    std::vector<int32_t> renumbered(size_t(vertices.count), -1);
    ply_row r;
    row_writer out(text);
    source_match match(fs, source);
    for (size_t e = 0; e < h.elements.size(); ++e) {
        const ply_element& element = h.elements[e];
        for (long long i = 0; i < element.count; ++i) {
            in.row(element, r);
            const double* patched[3] = {nullptr, nullptr, nullptr};
            double moved[3];
            const double* rescaled = nullptr;
            double scale = 0.0;
            if (e == c.element) {
                const int32_t record = int32_t(i);
                const vertex_values v = vertex_of(r, c, record, source);
                const particle* live = match.take(v.id, record);
                if (!live) continue;
                const particle& p = *live;
                const vec3 now = in_scene_order(p.position, order);
                for (int k = 0; k < 3; ++k)
                    if (now[k] != v.position[k]) {
                        moved[k] = now[k];
                        patched[k] = &moved[k];
                    }
                if (c.scale >= 0 && p.scale != v.scale) {
                    scale = p.scale;
                    rescaled = &scale;
                }
                renumbered[size_t(record)] = int32_t(counts.rows[e]);
            } else if (e > c.element) {
                // A face on a removed vertex goes with it; the others follow the renumbering.
                bool gone = false;
                for (size_t p = 0; p < element.properties.size() && !gone; ++p) {
                    if (!is_index_list(element.properties[p])) continue;
                    const size_t n = size_t(r.values[r.first[p]]);
                    for (size_t k = 1; k <= n; ++k) {
                        double& index = r.values[r.first[p] + k];
                        if (index < 0 || index >= double(renumbered.size()) ||
                            renumbered[size_t(index)] < 0) {
                            gone = true;
                            break;
                        }
                        index = renumbered[size_t(index)];
                    }
                }
                if (gone) continue;
            }
            ++counts.rows[e];
            if (!write) continue;
            out.start();
            for (size_t p = 0; p < element.properties.size(); ++p) {
                const ply_property& prop = element.properties[p];
                const size_t first = r.first[p];
                const size_t last = p + 1 < r.first.size() ? r.first[p + 1] : r.values.size();
                for (size_t k = first; k < last; ++k) {
                    const ply_type t = prop.list && k == first ? prop.count : prop.type;
                    const double* replaced = nullptr;
                    if (e == c.element) {
                        if (int(p) == c.x) replaced = patched[0];
                        if (int(p) == c.y) replaced = patched[1];
                        if (int(p) == c.z) replaced = patched[2];
                        if (int(p) == c.scale) replaced = rescaled;
                    } else if (e > c.element && is_index_list(prop) && k > first) {
                        replaced = &r.values[k];
                    }
                    out.value(r, k, t, swap, replaced);
                }
            }
            out.end();
            (*write)(out.bytes());
        }
    }
    match.finish();
    return counts;
}

void write_passed_through(const QString& path, const frame_set& fs, const QString& source,
                          position_order order) {
    const pass_counts counts = pass(source, fs, order, nullptr);
    ply_header h = ply_input(source).header();
    std::string head;
    for (size_t i = 0; i < h.lines.size(); ++i) {
        if (i == h.format_line && h.encoding == ply_encoding::big) {
            head += "format binary_little_endian 1.0\n";
            continue;
        }
        const auto e = std::find_if(h.elements.begin(), h.elements.end(),
                                    [i](const ply_element& el) { return el.line == i; });
        if (e != h.elements.end())
            head += "element " + e->name + " " +
                    std::to_string(counts.rows[size_t(e - h.elements.begin())]) + "\n";
        else
            head += h.lines[i] + "\n";
    }
    file_beside out(path);
    out.write(head.data(), head.size());
    std::string chunk;
    const std::function<void(const std::string&)> write = [&](const std::string& row) {
        chunk += row;
        if (chunk.size() < buffer_size) return;
        out.write(chunk.data(), chunk.size());
        chunk.clear();
    };
    pass(source, fs, order, &write);
    out.write(chunk.data(), chunk.size());
    out.finish();
}

// The PLY type a channel is written in.
ply_type type_of(const cache_channel& c) {
    return c.narrow ? ply_type::int16 : c.integral ? ply_type::int32 : ply_type::float32;
}

void write_generated(const QString& path, const frame_set& fs, position_order order,
                     const source_channels* carried) {
    const std::vector<const particle*> live = live_by_id(fs);
    std::string properties;
    size_t row = 23;
    if (carried)
        for (const channel_values& c : carried->present) {
            const ply_type t = type_of(*c.channel);
            for (int k = 0; k < c.channel->components; ++k)
                properties += std::string("property ") +
                              (t == ply_type::int16   ? "short "
                               : t == ply_type::int32 ? "int "
                                                      : "float ") +
                              c.channel->ply[size_t(k)] + "\n";
            row += size_of(t) * size_t(c.channel->components);
        }
    std::string data =
        "ply\nformat binary_little_endian 1.0\ncomment written by Kavrin\n"
        "element vertex " +
        std::to_string(live.size()) +
        "\nproperty float x\nproperty float y\nproperty float z\n"
        "property int id\nproperty float pscale\nproperty uchar red\n"
        "property uchar green\nproperty uchar blue\n" +
        properties + "end_header\n";
    data.reserve(data.size() + live.size() * row);
    double value[3];
    for (const particle* p : live) {
        const vec3 w = in_scene_order(p->position, order);
        for (int k = 0; k < 3; ++k)
            encode(w[k], ply_type::float32, data);
        encode(p->id, ply_type::int32, data);
        encode(p->scale, ply_type::float32, data);
        const double grey = 255.0 * std::clamp(p->shade, 0.0f, 1.0f);
        for (int k = 0; k < 3; ++k)
            encode(grey, ply_type::uint8, data);
        if (carried)
            for (const channel_values& c : carried->present) {
                carried->values_of(c, *p, value);
                for (int k = 0; k < c.channel->components; ++k)
                    encode(value[k], type_of(*c.channel), data);
            }
    }
    file_beside out(path);
    out.write(data.data(), data.size());
    out.finish();
}

}  // namespace

long long read_ply_frame(const QString& path, frame_set& fs, position_order order) {
    ply_input in(path);
    const ply_header& h = in.header();
    const vertex_columns c = find_vertices(in);
    const ply_element& vertices = h.elements[c.element];
    ply_row r;
    for (size_t e = 0; e < c.element; ++e)
        for (long long i = 0; i < h.elements[e].count; ++i)
            in.row(h.elements[e], r);
    particle_map read;
    // Each row takes at least a byte: a count the file cannot hold reserves nothing extra.
    read.reserve(size_t(std::min<long long>(vertices.count, QFileInfo(path).size())));
    long long dropped = 0;
    uint64_t ids = source_ids_start;
    for (long long i = 0; i < vertices.count; ++i) {
        in.row(vertices, r);
        const vertex_values v = vertex_of(r, c, int32_t(i), path);
        if (!within_position_limit(v.position))
            refuse_beyond_limit(path, fs, QString("vertex %1 (particle %2)").arg(i).arg(v.id),
                                v.position);
        ids = add_source_id(ids, v.id);
        const auto [it, added] =
            read.try_emplace(v.id, v.id, in_scene_order(v.position, order), v.scale);
        if (added)
            it->second.record = int32_t(i);
        else
            ++dropped;
    }
    return dropped + join_read_frame(fs, read, int32_t(vertices.count), ids);
}

record_channels read_ply_channel(const QString& path, const QString& name) {
    ply_input in(path);
    const ply_header& h = in.header();
    const vertex_columns c = find_vertices(in);
    const ply_element& vertices = h.elements[c.element];
    record_channels out;
    int chosen = -1;
    for (size_t p = 0; p < vertices.properties.size(); ++p) {
        if (vertices.properties[p].list) continue;
        const QString property = QString::fromStdString(vertices.properties[p].name);
        out.names.push_back(property);
        if (property == name) chosen = int(p);
    }
    if (chosen < 0) return out;
    const ply_type type = vertices.properties[size_t(chosen)].type;
    record_channel channel;
    channel.name = name;
    channel.kind =
        !integral(type)                                                                     ? 'f'
        : (type == ply_type::uint8 || type == ply_type::uint16 || type == ply_type::uint32) ? 'u'
                                                                                            : 'i';
    channel.item_size = int(size_of(type));
    for (int k = 0; k < 3; ++k)
        if (chosen == (k == 0 ? c.x : k == 1 ? c.y : c.z)) {
            channel.role = channel_role::position;
            channel.component = k;
        }
    if (chosen == c.scale) channel.role = channel_role::scale;

    ply_row r;
    for (size_t e = 0; e < c.element; ++e)
        for (long long i = 0; i < h.elements[e].count; ++i)
            in.row(h.elements[e], r);
    std::string values;
    values.reserve(size_t(std::min<long long>(vertices.count, QFileInfo(path).size())) *
                   size_of(type));
    for (long long i = 0; i < vertices.count; ++i) {
        in.row(vertices, r);
        out.ids.push_back(vertex_of(r, c, int32_t(i), path).id);
        encode(r.values[r.first[size_t(chosen)]], type, values);
    }
    channel.values = QByteArray(values.data(), qsizetype(values.size()));
    out.found = std::move(channel);
    return out;
}

void write_ply_frame(const QString& path, const frame_set& fs, const QString& source,
                     position_order order, const source_channels* carried) {
    if (fs.source_records >= 0 && !source.isEmpty())
        write_passed_through(path, fs, source, order);
    else
        write_generated(path, fs, order, carried);
}

source_channels ply_channels(const QString& path, const frame_set& fs) {
    ply_input in(path);
    const ply_header& h = in.header();
    const vertex_columns columns = find_vertices(in);
    const ply_element& vertices = h.elements[columns.element];
    if (vertices.count != fs.source_records)
        refuse(path, QString("changed since it was read: %1 vertices, %2 expected")
                         .arg(vertices.count)
                         .arg(fs.source_records));
    source_channels out;
    out.records = int32_t(vertices.count);
    // Property, channel present, component; a vector missing a component reads it as 0.
    std::vector<std::tuple<size_t, size_t, int>> read;
    for (size_t p = 0; p < vertices.properties.size(); ++p) {
        const ply_property& prop = vertices.properties[p];
        const cache_channel* c = prop.list ? nullptr : channel_of_ply(prop.name);
        if (!c) continue;
        size_t k = 0;
        while (k < out.present.size() && out.present[k].channel != c)
            ++k;
        if (k == out.present.size()) out.add(*c);
        int component = 0;
        while (prop.name != c->ply[size_t(component)])
            ++component;
        read.emplace_back(p, k, component);
    }
    ply_row r;
    for (size_t e = 0; e < columns.element; ++e)
        for (long long i = 0; i < h.elements[e].count; ++i)
            in.row(h.elements[e], r);
    source_match match(fs, path);
    for (int32_t i = 0; i < out.records; ++i) {
        in.row(vertices, r);
        if (!match.take(vertex_of(r, columns, i, path).id, i)) continue;
        for (const auto& [p, k, component] : read) {
            channel_values& c = out.present[k];
            c.values[size_t(i) * size_t(c.channel->components) + size_t(component)] =
                r.values[r.first[p]];
        }
    }
    match.finish();
    return out;
}

std::vector<QString> ply_extra_attributes(const QString& path, bool with_channels) {
    const ply_input in(path);
    const vertex_columns c = find_vertices(in);
    std::vector<QString> names;
    const ply_element& vertices = in.header().elements[c.element];
    for (size_t p = 0; p < vertices.properties.size(); ++p)
        if (int(p) != c.x && int(p) != c.y && int(p) != c.z && int(p) != c.id &&
            int(p) != c.scale &&
            (with_channels || vertices.properties[p].list ||
             !channel_of_ply(vertices.properties[p].name)))
            names.push_back(QString::fromStdString(vertices.properties[p].name));
    for (const ply_element& e : in.header().elements)
        if (e.name != "vertex") names.push_back(QString::fromStdString(e.name));
    return names;
}

}  // namespace kavrin
