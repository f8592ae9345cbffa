// Reads a .vdb file through OpenVDB's own point API, apart from Kavrin's reader, and compares
// every point attribute with a listing: the first line names the attributes and their types
// ("P:vec3s id:int32 ..."), each further line gives one point's values in that order, floats in
// hexadecimal. Points are matched by id. Exit status 0 when all match; the differences on stderr.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <openvdb/openvdb.h>
#include <openvdb/points/PointDataGrid.h>

namespace vp = openvdb::points;

namespace {

std::vector<double> values_of(const vp::AttributeArray& array, const std::string& type,
                              openvdb::Index i, const openvdb::math::Transform& xform,
                              const openvdb::Coord& voxel, bool position) {
    if (position) {
        const openvdb::Vec3d w = xform.indexToWorld(
            voxel.asVec3d() + openvdb::Vec3d(vp::AttributeHandle<openvdb::Vec3f>(array).get(i)));
        return {double(float(w[0])), double(float(w[1])), double(float(w[2]))};
    }
    if (type == "vec3s") {
        const openvdb::Vec3f v = vp::AttributeHandle<openvdb::Vec3f>(array).get(i);
        return {v[0], v[1], v[2]};
    }
    if (type == "float") return {vp::AttributeHandle<float>(array).get(i)};
    if (type == "int32") return {double(vp::AttributeHandle<int32_t>(array).get(i))};
    throw std::runtime_error("unexpected attribute type " + type);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: vdb_points_check <file.vdb> <listing>\n";
        return 2;
    }
    openvdb::initialize();
    std::ifstream listing(argv[2]);
    std::string first;
    std::getline(listing, first);
    std::vector<std::pair<std::string, std::string>> wanted;  // name, type
    std::istringstream names(first);
    for (std::string item; names >> item;)
        wanted.emplace_back(item.substr(0, item.find(':')), item.substr(item.find(':') + 1));
    std::map<int32_t, std::vector<double>> expected;
    for (std::string line; std::getline(listing, line);) {
        std::istringstream row(line);
        std::vector<double> v;
        for (std::string word; row >> word;)
            v.push_back(std::strtod(word.c_str(), nullptr));
        expected[int32_t(v.at(3))] = v;  // P comes first: x, y, z, then id
    }

    openvdb::io::File file(argv[1]);
    file.open();
    vp::PointDataGrid::Ptr grid;
    const openvdb::GridPtrVecPtr grids = file.getGrids();
    for (const auto& g : *grids)
        if ((grid = openvdb::gridPtrCast<vp::PointDataGrid>(g))) break;
    if (!grid) {
        std::cerr << "no point data grid\n";
        return 1;
    }
    int failures = 0;
    auto leaf = grid->tree().cbeginLeaf();
    if (!leaf) {
        std::cerr << (expected.empty() ? "" : "no points\n");
        return expected.empty() ? 0 : 1;
    }
    const vp::AttributeSet::Descriptor& d = leaf->attributeSet().descriptor();
    if (d.size() != wanted.size()) {
        std::cerr << "attribute count " << d.size() << ", " << wanted.size() << " expected\n";
        ++failures;
    }
    std::vector<size_t> at;
    for (const auto& [name, type] : wanted) {
        at.push_back(d.find(name));
        if (at.back() == vp::AttributeSet::INVALID_POS || d.valueType(at.back()) != type) {
            std::cerr << "attribute " << name << " of type " << type << " missing\n";
            return 1;
        }
    }
    size_t seen = 0;
    for (; leaf; ++leaf) {
        for (auto it = leaf->beginIndexAll(); it; ++it) {
            std::vector<double> got;
            for (size_t a = 0; a < wanted.size(); ++a) {
                const auto v = values_of(leaf->constAttributeArray(at[a]), wanted[a].second, *it,
                                         grid->transform(), it.getCoord(), wanted[a].first == "P");
                got.insert(got.end(), v.begin(), v.end());
            }
            ++seen;
            const auto e = expected.find(int32_t(got.at(3)));
            if (e == expected.end()) {
                std::cerr << "point " << got.at(3) << " is not expected\n";
                ++failures;
            } else if (e->second != got) {
                size_t k = 0;
                while (k < got.size() && k < e->second.size() && got[k] == e->second[k])
                    ++k;
                std::cerr << "point " << got.at(3) << " differs at value " << k << "\n";
                ++failures;
            }
        }
    }
    if (seen != expected.size()) {
        std::cerr << seen << " points, " << expected.size() << " expected\n";
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
