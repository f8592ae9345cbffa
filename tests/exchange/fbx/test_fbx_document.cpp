// The FBX node tree reader: both encodings, and malformed or hostile input.
#include "exchange/fbx_document.h"
#include "fbx_writer.h"

#include <gtest/gtest.h>

using namespace kavrin;
using kavrin::fbx_test::node;
using kavrin::fbx_test::object_name;

namespace {

std::vector<node> sample_tree() {
    node header("FBXHeaderExtension");
    header.add(node("FBXVersion", {std::int32_t{7400}}));
    node objects("Objects");
    node& model = objects.add(
        node("Model", {std::int64_t{42}, object_name{"Model", "Cube"}, std::string("Mesh")}));
    node& props = model.add(node("Properties70"));
    props.add(node("P", {std::string("Lcl Translation"), std::string("Lcl Translation"),
                         std::string(""), std::string("A"), 1.5, -2.0, 3.25e-3}));
    node& geo = objects.add(
        node("Geometry", {std::int64_t{43}, object_name{"Geometry", "Cube"}, std::string("Mesh")}));
    std::vector<double> big(300);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = 0.5 * static_cast<double>(i) - 7.0;
    geo.add(node("Vertices", {big}));
    geo.add(node("PolygonVertexIndex", {std::vector<std::int32_t>{0, 1, -3}}));
    geo.add(node("KeyTime", {std::vector<std::int64_t>{0, 153953860000LL}}));
    geo.add(node("Floats", {std::vector<float>{0.25f, -1.5f}}));
    node empty("AnimationLayer", {std::int64_t{44}});
    empty.block = true;
    objects.add(empty);
    return {header, objects};
}

void expect_sample(const fbx_document& doc) {
    ASSERT_EQ(doc.top.size(), 2u);
    const fbx_node* objects = doc.find("Objects");
    ASSERT_TRUE(objects);
    ASSERT_EQ(objects->children.size(), 3u);
    const fbx_node& model = objects->children[0];
    std::int64_t id = 0;
    std::string name, cls;
    EXPECT_TRUE(model.integer(0, id));
    EXPECT_EQ(id, 42);
    EXPECT_TRUE(model.text(1, name));
    EXPECT_EQ(name, "Model::Cube");  // the binary "Cube\0\1Model" reads in ASCII spelling
    EXPECT_TRUE(model.text(2, cls));
    EXPECT_EQ(cls, "Mesh");
    const fbx_node* p = model.child("Properties70")->child("P");
    ASSERT_TRUE(p);
    double x, y, z;
    ASSERT_TRUE(p->number(4, x) && p->number(5, y) && p->number(6, z));
    EXPECT_EQ(x, 1.5);
    EXPECT_EQ(y, -2.0);
    EXPECT_EQ(z, 3.25e-3);
    const fbx_node& geo = objects->children[1];
    const std::vector<double> v = geo.child("Vertices")->reals();
    ASSERT_EQ(v.size(), 300u);
    EXPECT_EQ(v[0], -7.0);
    EXPECT_EQ(v[299], 142.5);
    EXPECT_EQ(geo.child("PolygonVertexIndex")->integers(), (std::vector<std::int64_t>{0, 1, -3}));
    EXPECT_EQ(geo.child("KeyTime")->integers(), (std::vector<std::int64_t>{0, 153953860000LL}));
    EXPECT_EQ(geo.child("Floats")->reals(), (std::vector<double>{0.25, -1.5}));
    EXPECT_TRUE(objects->children[2].children.empty());
}

bool parses(const QByteArray& bytes, QString* error = nullptr) {
    fbx_document doc;
    return parse_fbx_document(bytes, doc, error);
}

}  // namespace

TEST(fbx_document, both_encodings_read_the_same_tree) {
    const std::vector<node> tree = sample_tree();
    struct variant {
        const char* label;
        QByteArray bytes;
    } variants[] = {
        {"ascii", QByteArray::fromStdString(fbx_test::to_ascii(tree))},
        {"binary 7400", fbx_test::to_binary(tree, 7400)},
        {"binary 7500 (64-bit offsets)", fbx_test::to_binary(tree, 7500)},
        {"binary, compressed arrays", fbx_test::to_binary(tree, 7400, 1)},
    };
    for (const variant& v : variants) {
        SCOPED_TRACE(v.label);
        fbx_document doc;
        QString error;
        ASSERT_TRUE(parse_fbx_document(v.bytes, doc, &error)) << error.toStdString();
        expect_sample(doc);
    }
}

TEST(fbx_document, ascii_syntax_details) {
    const QByteArray text =
        "; comment line\n"
        "FBXHeaderExtension:  {\n\tFBXVersion: 7400 ; trailing comment\n}\n"
        "Objects:  {\n"
        "\tGeometry: 1, \"Geometry::G\", \"Mesh\" {\n"
        "\t\tVertices: *6 {\n\t\t\ta: 1,2,\n\t\t\t3.5,-4e2,+5,6\n\t\t}\n"
        "\t\tEdges: *0 {\n\t\t}\n"
        "\t\tShading: T\n"
        "\t}\n"
        "}\n";
    fbx_document doc;
    QString error;
    ASSERT_TRUE(parse_fbx_document(text, doc, &error)) << error.toStdString();
    EXPECT_EQ(doc.version, 7400);
    EXPECT_FALSE(doc.binary);
    const fbx_node& geo = doc.find("Objects")->children.at(0);
    // An array wrapped over lines with a real in it reads as reals throughout.
    EXPECT_EQ(geo.child("Vertices")->reals(), (std::vector<double>{1, 2, 3.5, -400, 5, 6}));
    EXPECT_TRUE(geo.child("Edges")->integers().empty());
    std::string shading;
    EXPECT_TRUE(geo.child("Shading")->text(0, shading));
    EXPECT_EQ(shading, "T");
}

TEST(fbx_document, every_truncation_fails_or_keeps_only_whole_records) {
    const std::vector<node> tree = sample_tree();
    const QByteArray inputs[] = {QByteArray::fromStdString(fbx_test::to_ascii(tree)),
                                 fbx_test::to_binary(tree, 7400, 1)};
    for (const QByteArray& full : inputs) {
        for (qsizetype len = 0; len < full.size(); ++len) {
            fbx_document doc;
            if (!parse_fbx_document(full.left(len), doc)) continue;
            // A cut between top-level records may leave a shorter, whole document; never a
            // record with missing parts.
            // (An ASCII cut right after "Objects:" is a whole, empty node.)
            ASSERT_LE(doc.top.size(), 2u) << "length " << len;
            const fbx_node* objects = doc.find("Objects");
            if (objects && !objects->children.empty()) expect_sample(doc);
        }
    }
}

TEST(fbx_document, rejects_malformed_and_hostile_input) {
    const std::vector<node> tree = sample_tree();
    const QByteArray good = fbx_test::to_binary(tree);

    EXPECT_FALSE(parses(QByteArray()));
    EXPECT_FALSE(parses("this is not an FBX file"));
    EXPECT_FALSE(parses("FBXHeaderExtension: { FBXVersion: 7400 \n Objects: {"));  // open brace
    EXPECT_FALSE(parses("FBXHeaderExtension: { FBXVersion: 7400 }\n}"));           // stray close
    EXPECT_FALSE(parses("FBXHeaderExtension: { FBXVersion: 7400 }\nA: \"unterminated"));
    EXPECT_FALSE(parses("FBXHeaderExtension: { FBXVersion: 7400 }\nA: *2 { a: 1,x }"));
    QString error;
    EXPECT_FALSE(parses("FBXHeaderExtension: { FBXVersion: 6100 }\nObjects: { }", &error));
    EXPECT_TRUE(error.contains("version"));

    // Nesting beyond the reader's depth limit, in both encodings.
    node deep("Deep");
    node* cur = &deep;
    for (int i = 0; i < 100; ++i)
        cur = &cur->add(node("N"));
    cur->block = true;
    error.clear();
    EXPECT_FALSE(parses(fbx_test::to_binary({tree[0], deep}), &error));
    EXPECT_TRUE(error.contains("deep"));
    EXPECT_FALSE(parses(QByteArray::fromStdString(fbx_test::to_ascii({tree[0], deep}))));

    // The first record's end offset pointing past the file.
    QByteArray past = good;
    const std::uint32_t huge = 0x7fffffff;
    std::memcpy(past.data() + 27, &huge, 4);
    EXPECT_FALSE(parses(past));

    // An array that claims far more elements than it stores, and one with corrupt zlib data.
    const QByteArray packed = fbx_test::to_binary(tree, 7400, 1);
    const qsizetype vertices = packed.indexOf("Vertices");
    ASSERT_GT(vertices, 0);
    const qsizetype array_at = vertices + 8;  // type code 'd', then the element count
    ASSERT_EQ(packed[array_at], 'd');
    QByteArray lying = packed;
    const std::uint32_t claimed = 100'000'000;
    std::memcpy(lying.data() + array_at + 1, &claimed, 4);
    // Refused for its stated length before any inflating or allocating.
    error.clear();
    EXPECT_FALSE(parses(lying, &error));
    EXPECT_TRUE(error.contains("MiB")) << error.toStdString();
    QByteArray corrupt = packed;
    for (int i = 0; i < 8; ++i)
        corrupt[array_at + 13 + 4 + i] = '\x55';
    EXPECT_FALSE(parses(corrupt));

    // An unknown value type code.
    QByteArray unknown = good;
    const qsizetype version_value = unknown.indexOf("FBXVersion") + 10;
    ASSERT_EQ(unknown[version_value], 'I');
    unknown[version_value] = 'Q';
    EXPECT_FALSE(parses(unknown));
}

// Zero-filled arrays deflate a thousandfold, so a small file can state gigabytes: all arrays of a
// document together must stay within the memory budget of the file's size.
TEST(fbx_document, arrays_share_one_memory_budget) {
    const std::vector<double> zeros(1 << 21);  // 16 MiB once decoded
    const std::uint64_t array_bytes = zeros.size() * 8;
    const std::uint64_t budget = fbx_document_budget(0);
    const auto file_of = [&](std::uint64_t arrays) {
        node objects("Objects");
        for (std::uint64_t i = 0; i < arrays; ++i)
            objects.add(node("Vertices", {zeros}));
        return fbx_test::to_binary({sample_tree()[0], objects}, 7400, 1);
    };
    const QByteArray fits = file_of(budget / array_bytes - 1);
    const QByteArray too_much = file_of(budget / array_bytes + 1);
    ASSERT_EQ(fbx_document_budget(too_much.size()), budget);  // a small file: the least budget

    fbx_document doc;
    EXPECT_TRUE(parse_fbx_document(fits, doc));
    EXPECT_EQ(doc.find("Objects")->children.back().reals(), zeros);
    QString error;
    EXPECT_FALSE(parses(too_much, &error));
    EXPECT_TRUE(error.contains(QString("more than %1 MiB").arg(budget >> 20)))
        << error.toStdString();
}
