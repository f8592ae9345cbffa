#pragma once
// FBX document: the node tree of an ASCII or binary FBX 7.x file, read with bounds on nesting,
// node count and array sizes so that malformed or hostile files fail cleanly.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kavrin {

// One value of a node. Binary booleans and small integers read as integers, single-precision
// reals as reals; object names "name\0\1Class" of binary files read as "Class::name", as in
// ASCII files. Integer arrays of ASCII files are those written without a decimal point.
using fbx_value =
    std::variant<std::int64_t, double, std::string, std::vector<std::int64_t>, std::vector<double>>;

struct fbx_node {
    std::string name;
    std::vector<fbx_value> values;
    std::vector<fbx_node> children;

    // First child of that name, or null.
    const fbx_node* child(std::string_view child_name) const;
    // Value i as a number / integer / text; false when missing or of another kind.
    bool number(std::size_t i, double& out) const;
    bool integer(std::size_t i, std::int64_t& out) const;
    bool text(std::size_t i, std::string& out) const;
    // Value i as an array of reals or integers (either kind converts); empty when missing.
    std::vector<double> reals(std::size_t i = 0) const;
    std::vector<std::int64_t> integers(std::size_t i = 0) const;
};

struct fbx_document {
    int version = 0;  // 7400 for FBX 7.4
    bool binary = false;
    std::vector<fbx_node> top;  // FBXHeaderExtension, GlobalSettings, Objects, Connections, ...

    const fbx_node* find(std::string_view name) const;
};

// Memory in bytes that the records and decoded arrays of a document read from a file of
// `file_size` bytes may take: 32 times the file's size, at least 64 MiB, at most 2 GiB. Real files
// decode to a few times their size (deflated arrays shrink by about half, and elements widen to
// 8 bytes); 2 GiB holds a mesh of several million vertices with normals and texture coordinates.
// A file that deflates a run of zeros a thousandfold is refused before it takes the memory.
std::uint64_t fbx_document_budget(std::uint64_t file_size);

// Reads a document from the bytes of a file. False, with a short reason, for anything that is
// not a well-formed FBX 7.x document within the reader's limits, the budget above among them.
bool parse_fbx_document(const QByteArray& bytes, fbx_document& out, QString* error = nullptr);

}  // namespace kavrin
