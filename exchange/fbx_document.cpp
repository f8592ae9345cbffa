#include "exchange/fbx_document.h"

#include <zlib.h>
#include <QtEndian>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>

namespace kavrin {

namespace {

// Limits that keep a hostile file from exhausting the stack or the memory.
constexpr int max_depth = 64;
constexpr std::size_t max_nodes = 10'000'000;
constexpr std::uint64_t max_array_elements = 1ULL << 28;

struct parse_error {
    QString reason;
};

[[noreturn]] void fail(const QString& reason) {
    throw parse_error{reason};
}

// Memory of the document being read: every record, value and decoded array element is charged
// before it is allocated, so a file that would pass the budget fails before it takes the memory.
class memory_budget {
  public:
    explicit memory_budget(std::uint64_t file_size)
        : file_size_(file_size), limit_(fbx_document_budget(file_size)) {}

    void charge(std::uint64_t bytes) {
        if (bytes > limit_ - used_) {
            fail(QStringLiteral("records and arrays need more than %1 MiB, the limit for a file "
                                "of %2 KiB")
                     .arg(limit_ >> 20)
                     .arg((file_size_ + 1023) >> 10));
        }
        used_ += bytes;
    }
    // A record with its name; values, not counting the text or elements they own.
    void charge_node(std::size_t name_size) { charge(sizeof(fbx_node) + name_size); }
    void charge_values(std::uint64_t count) { charge(count * sizeof(fbx_value)); }
    // Array elements are held as 8-byte integers or reals whatever their size in the file.
    void charge_elements(std::uint64_t count) { charge(count * 8); }

  private:
    const std::uint64_t file_size_, limit_;
    std::uint64_t used_ = 0;
};

// "name\0\1Class" of binary files becomes "Class::name", the ASCII spelling.
std::string object_name_text(std::string s) {
    const std::size_t sep = s.find(std::string_view("\0\1", 2));
    if (sep == std::string::npos) return s;
    return s.substr(sep + 2) + "::" + s.substr(0, sep);
}

// --- binary ---

class binary_reader {
  public:
    explicit binary_reader(const QByteArray& bytes)
        : data_(reinterpret_cast<const unsigned char*>(bytes.constData())),
          size_(static_cast<std::uint64_t>(bytes.size())),
          budget_(size_) {}

    void read(fbx_document& doc) {
        constexpr std::uint64_t header_size = 27;
        if (size_ < header_size) fail(QStringLiteral("truncated header"));
        doc.version = static_cast<int>(get<std::uint32_t>(23));
        doc.binary = true;
        wide_ = doc.version >= 7500;
        std::uint64_t pos = header_size;
        // Top-level records run until a null record; a file cut right after the last record
        // (without null record and footer) is still complete.
        while (pos < size_) {
            fbx_node n;
            if (!read_node(pos, size_, n, 0)) break;
            doc.top.push_back(std::move(n));
        }
    }

  private:
    template <typename T>
    T get(std::uint64_t at) const {
        if (at > size_ || size_ - at < sizeof(T)) fail(QStringLiteral("truncated record"));
        return qFromLittleEndian<T>(data_ + at);
    }

    std::uint64_t offset(std::uint64_t& pos) {
        std::uint64_t v;
        if (wide_) {
            v = get<std::uint64_t>(pos);
            pos += 8;
        } else {
            v = get<std::uint32_t>(pos);
            pos += 4;
        }
        return v;
    }

    // Reads one record that must end by `limit`; false for a null record (end of a list).
    bool read_node(std::uint64_t& pos, std::uint64_t limit, fbx_node& out, int depth) {
        if (depth > max_depth) fail(QStringLiteral("nesting too deep"));
        if (++node_count_ > max_nodes) fail(QStringLiteral("too many nodes"));
        const std::uint64_t start = pos;
        const std::uint64_t end = offset(pos);
        const std::uint64_t value_count = offset(pos);
        const std::uint64_t value_bytes = offset(pos);
        const unsigned name_len = get<std::uint8_t>(pos);
        pos += 1;
        if (end == 0 && value_count == 0 && value_bytes == 0 && name_len == 0) return false;
        if (end <= start || end > limit) fail(QStringLiteral("record outside its parent"));
        if (name_len > end - pos) fail(QStringLiteral("truncated record name"));
        budget_.charge_node(name_len);
        out.name.assign(reinterpret_cast<const char*>(data_ + pos), name_len);
        pos += name_len;
        if (value_bytes > end - pos) fail(QStringLiteral("values outside their record"));
        const std::uint64_t values_end = pos + value_bytes;
        if (value_count > value_bytes) fail(QStringLiteral("bad value count"));
        budget_.charge_values(value_count);
        out.values.reserve(static_cast<std::size_t>(value_count));
        for (std::uint64_t i = 0; i < value_count; ++i)
            out.values.push_back(value(pos, values_end));
        if (pos != values_end) fail(QStringLiteral("value list length mismatch"));
        while (pos < end) {
            fbx_node child;
            if (!read_node(pos, end, child, depth + 1)) break;
            out.children.push_back(std::move(child));
        }
        if (pos != end) fail(QStringLiteral("record length mismatch"));
        return true;
    }

    const unsigned char* take(std::uint64_t& pos, std::uint64_t limit, std::uint64_t n) {
        if (pos > limit || n > limit - pos) fail(QStringLiteral("value outside its record"));
        const unsigned char* p = data_ + pos;
        pos += n;
        return p;
    }

    template <typename T>
    T scalar(std::uint64_t& pos, std::uint64_t limit) {
        return qFromLittleEndian<T>(take(pos, limit, sizeof(T)));
    }

    fbx_value value(std::uint64_t& pos, std::uint64_t limit) {
        const char type = static_cast<char>(*take(pos, limit, 1));
        switch (type) {
            case 'Y':
                return std::int64_t{scalar<std::int16_t>(pos, limit)};
            case 'C':
                return std::int64_t{scalar<std::uint8_t>(pos, limit)};
            case 'I':
                return std::int64_t{scalar<std::int32_t>(pos, limit)};
            case 'L':
                return std::int64_t{scalar<std::int64_t>(pos, limit)};
            case 'F':
                return double{qFromLittleEndian<float>(take(pos, limit, 4))};
            case 'D':
                return qFromLittleEndian<double>(take(pos, limit, 8));
            case 'S':
            case 'R': {
                const std::uint32_t n = scalar<std::uint32_t>(pos, limit);
                const unsigned char* p = take(pos, limit, n);
                budget_.charge(n);
                std::string s(reinterpret_cast<const char*>(p), n);
                return type == 'S' ? object_name_text(std::move(s)) : s;
            }
            case 'f':
                return array_value<float, double>(pos, limit);
            case 'd':
                return array_value<double, double>(pos, limit);
            case 'i':
                return array_value<std::int32_t, std::int64_t>(pos, limit);
            case 'l':
                return array_value<std::int64_t, std::int64_t>(pos, limit);
            case 'b':
                return array_value<std::uint8_t, std::int64_t>(pos, limit);
            default:
                fail(QStringLiteral("unknown value type"));
        }
    }

    // An array value of elements of type T in the file, held as Out. A compressed array is
    // inflated block by block straight into the result, which is charged to the budget before it
    // is allocated: its stated length is checked before any work, its contents while inflating.
    template <typename T, typename Out>
    std::vector<Out> array_value(std::uint64_t& pos, std::uint64_t limit) {
        const std::uint32_t count = scalar<std::uint32_t>(pos, limit);
        const std::uint32_t encoding = scalar<std::uint32_t>(pos, limit);
        const std::uint32_t stored = scalar<std::uint32_t>(pos, limit);
        const unsigned char* p = take(pos, limit, stored);
        if (count > max_array_elements) fail(QStringLiteral("array too large"));
        if (encoding > 1) fail(QStringLiteral("unknown array encoding"));
        const std::uint64_t raw_size = std::uint64_t{count} * sizeof(T);
        if (encoding == 0 && stored != raw_size) fail(QStringLiteral("array length mismatch"));
        budget_.charge_elements(count);
        std::vector<Out> out(count);
        const auto put = [&out](std::size_t first, const unsigned char* bytes, std::size_t n) {
            for (std::size_t i = 0; i < n; ++i)
                out[first + i] = static_cast<Out>(qFromLittleEndian<T>(bytes + i * sizeof(T)));
        };
        if (encoding == 0) {
            put(0, p, count);
        } else {
            inflate_exactly(p, stored, raw_size,
                            [&](std::uint64_t at, const unsigned char* bytes, std::size_t n) {
                                put(static_cast<std::size_t>(at / sizeof(T)), bytes, n / sizeof(T));
                            });
        }
        return out;
    }

    // Inflates a zlib stream that must hold exactly `size` bytes, handing them to
    // take(offset, bytes, n) in blocks whose length is a multiple of every element size.
    template <typename Take>
    void inflate_exactly(const unsigned char* in, std::uint32_t in_size, std::uint64_t size,
                         Take take) {
        z_stream zs{};
        if (inflateInit(&zs) != Z_OK) fail(QStringLiteral("cannot inflate"));
        const std::unique_ptr<z_stream, int (*)(z_stream*)> end(&zs, inflateEnd);
        zs.next_in = const_cast<Bytef*>(in);
        zs.avail_in = in_size;
        block_.resize(1 << 16);
        int rc = Z_OK;
        for (std::uint64_t at = 0; at < size;) {
            const auto want = static_cast<uInt>(std::min<std::uint64_t>(size - at, block_.size()));
            zs.next_out = block_.data();
            zs.avail_out = want;
            while (zs.avail_out > 0 && rc == Z_OK)
                rc = inflate(&zs, Z_NO_FLUSH);
            if (zs.avail_out > 0) fail(QStringLiteral("corrupt compressed array"));
            take(at, block_.data(), want);
            at += want;
        }
        // Exactly `size`: the stream must end here, without a byte more.
        if (rc == Z_OK) {
            unsigned char extra;
            zs.next_out = &extra;
            zs.avail_out = 1;
            rc = inflate(&zs, Z_FINISH);
            if (zs.avail_out == 0) rc = Z_DATA_ERROR;
        }
        if (rc != Z_STREAM_END) fail(QStringLiteral("corrupt compressed array"));
    }

    const unsigned char* data_;
    std::uint64_t size_;
    bool wide_ = false;
    std::size_t node_count_ = 0;
    memory_budget budget_;
    std::vector<unsigned char> block_;  // inflated bytes on their way into an array
};

// --- ASCII ---

enum class token_kind { end, key, text, word, comma, open, close };

struct token {
    token_kind kind = token_kind::end;
    std::string_view text;
};

class ascii_reader {
  public:
    explicit ascii_reader(const QByteArray& bytes)
        : text_(bytes.constData(), static_cast<std::size_t>(bytes.size())), budget_(text_.size()) {}

    void read(fbx_document& doc) {
        doc.binary = false;
        next_ = scan();
        read_children(doc.top, 0, false);
        const fbx_node* header = doc.find("FBXHeaderExtension");
        const fbx_node* version = header ? header->child("FBXVersion") : nullptr;
        std::int64_t v = 0;
        if (!version || !version->integer(0, v)) fail(QStringLiteral("no FBX version"));
        doc.version = static_cast<int>(v);
    }

  private:
    token take() {
        const token t = next_;
        next_ = scan();
        return t;
    }

    static bool is_delimiter(char c) {
        return c == ',' || c == '{' || c == '}' || c == '"' || c == ';' || c == ':' || c == ' ' ||
               c == '\t' || c == '\r' || c == '\n';
    }

    token scan() {
        for (;;) {
            while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_])))
                ++pos_;
            if (pos_ < text_.size() && text_[pos_] == ';') {
                while (pos_ < text_.size() && text_[pos_] != '\n')
                    ++pos_;
                continue;
            }
            break;
        }
        if (pos_ >= text_.size()) return {};
        const char c = text_[pos_];
        if (c == ',' || c == '{' || c == '}') {
            ++pos_;
            return {c == ','   ? token_kind::comma
                    : c == '{' ? token_kind::open
                               : token_kind::close,
                    text_.substr(pos_ - 1, 1)};
        }
        if (c == '"') {
            const std::size_t close = text_.find('"', pos_ + 1);
            if (close == std::string_view::npos) fail(QStringLiteral("unterminated string"));
            const token t{token_kind::text, text_.substr(pos_ + 1, close - pos_ - 1)};
            pos_ = close + 1;
            return t;
        }
        if (c == ':') fail(QStringLiteral("stray colon"));
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !is_delimiter(text_[pos_]))
            ++pos_;
        const std::string_view word = text_.substr(start, pos_ - start);
        if (pos_ < text_.size() && text_[pos_] == ':') {
            ++pos_;
            return {token_kind::key, word};
        }
        return {token_kind::word, word};
    }

    void read_children(std::vector<fbx_node>& out, int depth, bool closed) {
        if (depth > max_depth) fail(QStringLiteral("nesting too deep"));
        for (;;) {
            const token t = take();
            if (t.kind == token_kind::end) {
                if (closed) fail(QStringLiteral("unexpected end of file"));
                return;
            }
            if (t.kind == token_kind::close) {
                if (!closed) fail(QStringLiteral("unbalanced closing brace"));
                return;
            }
            if (t.kind != token_kind::key) fail(QStringLiteral("expected a node name"));
            if (++node_count_ > max_nodes) fail(QStringLiteral("too many nodes"));
            budget_.charge_node(t.text.size());
            fbx_node n;
            n.name = std::string(t.text);
            read_node_body(n, depth);
            out.push_back(std::move(n));
        }
    }

    static bool is_value(token_kind k) { return k == token_kind::text || k == token_kind::word; }

    void read_node_body(fbx_node& n, int depth) {
        bool array = false;
        if (is_value(next_.kind) || next_.kind == token_kind::comma) {
            for (;;) {
                budget_.charge_values(1);
                if (next_.kind == token_kind::comma) {
                    n.values.emplace_back(std::string());  // an empty value, as in "Content: ,"
                } else {
                    const token v = take();
                    if (v.kind == token_kind::text) budget_.charge(v.text.size());
                    if (v.kind == token_kind::word && !v.text.empty() && v.text[0] == '*') {
                        array = true;
                    } else {
                        n.values.push_back(scalar(v));
                    }
                }
                if (next_.kind != token_kind::comma) break;
                take();
                if (!is_value(next_.kind) && next_.kind != token_kind::comma)
                    fail(QStringLiteral("value missing after comma"));
            }
        }
        if (next_.kind != token_kind::open) {
            if (array) fail(QStringLiteral("array without contents"));
            return;
        }
        take();
        if (array) {
            const token a = take();
            if (a.kind == token_kind::close) {
                n.values.emplace_back(std::vector<std::int64_t>());
                return;
            }
            if (a.kind != token_kind::key || a.text != "a") fail(QStringLiteral("bad array"));
            n.values.push_back(array_values());
            if (take().kind != token_kind::close) fail(QStringLiteral("unterminated array"));
            return;
        }
        read_children(n.children, depth + 1, true);
    }

    static bool parse_integer(std::string_view s, std::int64_t& out) {
        const auto res = std::from_chars(s.data(), s.data() + s.size(), out);
        return res.ec == std::errc() && res.ptr == s.data() + s.size();
    }

    static bool parse_real(std::string_view s, double& out) {
        const char* b = s.data();
        if (!s.empty() && s[0] == '+') ++b;  // from_chars does not take a leading '+'
        const auto res = std::from_chars(b, s.data() + s.size(), out);
        return res.ec == std::errc() && res.ptr == s.data() + s.size();
    }

    static fbx_value scalar(const token& t) {
        if (t.kind == token_kind::text) return std::string(t.text);
        std::int64_t i;
        if (parse_integer(t.text, i)) return i;
        double d;
        if (parse_real(t.text, d)) return d;
        return std::string(t.text);  // bare words such as T, Y, N
    }

    // "a: v, v, ..." up to the closing brace; integers while every element is one.
    fbx_value array_values() {
        std::vector<std::int64_t> ints;
        std::vector<double> reals;
        bool integral = true;
        while (next_.kind == token_kind::word) {
            if (ints.size() + reals.size() >= max_array_elements)
                fail(QStringLiteral("array too large"));
            budget_.charge_elements(1);
            const token t = take();
            std::int64_t i;
            double d;
            if (integral && parse_integer(t.text, i)) {
                ints.push_back(i);
            } else if (parse_real(t.text, d)) {
                if (integral) {
                    reals.assign(ints.begin(), ints.end());
                    ints.clear();
                    ints.shrink_to_fit();
                    integral = false;
                }
                reals.push_back(d);
            } else {
                fail(QStringLiteral("bad number in array"));
            }
            if (next_.kind != token_kind::comma) break;
            take();
        }
        if (integral) return ints;
        return reals;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    token next_;
    std::size_t node_count_ = 0;
    memory_budget budget_;
};

bool is_binary(const QByteArray& bytes) {
    return bytes.startsWith(QByteArrayLiteral("Kaydara FBX Binary"));
}

}  // namespace

std::uint64_t fbx_document_budget(std::uint64_t file_size) {
    constexpr std::uint64_t least = 64ULL << 20, most = 2ULL << 30;
    if (file_size > most / 32) return most;
    return std::max(least, 32 * file_size);
}

const fbx_node* fbx_node::child(std::string_view child_name) const {
    for (const fbx_node& c : children) {
        if (c.name == child_name) return &c;
    }
    return nullptr;
}

bool fbx_node::number(std::size_t i, double& out) const {
    if (i >= values.size()) return false;
    if (const auto* d = std::get_if<double>(&values[i])) {
        out = *d;
        return true;
    }
    if (const auto* n = std::get_if<std::int64_t>(&values[i])) {
        out = static_cast<double>(*n);
        return true;
    }
    return false;
}

bool fbx_node::integer(std::size_t i, std::int64_t& out) const {
    if (i >= values.size()) return false;
    if (const auto* n = std::get_if<std::int64_t>(&values[i])) {
        out = *n;
        return true;
    }
    return false;
}

bool fbx_node::text(std::size_t i, std::string& out) const {
    if (i >= values.size()) return false;
    if (const auto* s = std::get_if<std::string>(&values[i])) {
        out = *s;
        return true;
    }
    return false;
}

std::vector<double> fbx_node::reals(std::size_t i) const {
    if (i >= values.size()) return {};
    if (const auto* d = std::get_if<std::vector<double>>(&values[i])) return *d;
    if (const auto* n = std::get_if<std::vector<std::int64_t>>(&values[i]))
        return std::vector<double>(n->begin(), n->end());
    return {};
}

std::vector<std::int64_t> fbx_node::integers(std::size_t i) const {
    if (i >= values.size()) return {};
    if (const auto* n = std::get_if<std::vector<std::int64_t>>(&values[i])) return *n;
    if (const auto* d = std::get_if<std::vector<double>>(&values[i])) {
        std::vector<std::int64_t> out;
        out.reserve(d->size());
        for (double v : *d) {
            // Out-of-range reals would be undefined to convert; they become an impossible index.
            out.push_back(v > -9.2e18 && v < 9.2e18 ? static_cast<std::int64_t>(v)
                                                    : std::numeric_limits<std::int64_t>::min());
        }
        return out;
    }
    return {};
}

const fbx_node* fbx_document::find(std::string_view name) const {
    for (const fbx_node& n : top) {
        if (n.name == name) return &n;
    }
    return nullptr;
}

bool parse_fbx_document(const QByteArray& bytes, fbx_document& out, QString* error) {
    fbx_document doc;
    try {
        if (bytes.isEmpty()) fail(QStringLiteral("empty file"));
        if (is_binary(bytes)) {
            binary_reader(bytes).read(doc);
        } else {
            ascii_reader(bytes).read(doc);
        }
        if (doc.version < 7000) fail(QStringLiteral("unsupported FBX version %1").arg(doc.version));
    } catch (const parse_error& e) {
        if (error) *error = e.reason;
        return false;
    } catch (const std::bad_alloc&) {
        if (error) *error = QStringLiteral("out of memory");
        return false;
    }
    out = std::move(doc);
    return true;
}

}  // namespace kavrin
