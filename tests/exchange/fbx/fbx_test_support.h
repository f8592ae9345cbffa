#pragma once
// Shared helpers of the FBX tests: files in a temporary folder, scenes from descriptions.

#include "exchange/fbx_scene.h"
#include "fbx_writer.h"

#include <gtest/gtest.h>
#include <QFile>
#include <QTemporaryDir>

namespace kavrin::fbx_test {

inline QByteArray encode(const scene_desc& scene, encoding enc) {
    const std::vector<node> doc = build_document(scene);
    return enc == encoding::ascii ? QByteArray::fromStdString(to_ascii(doc)) : to_binary(doc);
}

inline std::unique_ptr<fbx_scene> load(const scene_desc& scene, encoding enc = encoding::ascii) {
    QString error;
    auto s = fbx_scene::from_bytes(encode(scene, enc), &error);
    EXPECT_TRUE(s) << error.toStdString();
    return s;
}

class temp_folder {
  public:
    QString path(const QString& name) const { return dir_.filePath(name); }
    QString write(const QString& name, const QByteArray& bytes) const {
        QFile f(path(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return f.fileName();
    }
    QString write(const QString& name, const scene_desc& scene,
                  encoding enc = encoding::ascii) const {
        return write(name, encode(scene, enc));
    }

  private:
    QTemporaryDir dir_;
};

inline model_desc quad_model(const std::string& name = "Quad") {
    model_desc m;
    m.name = name;
    m.type = model_desc::kind::mesh;
    m.points = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    m.polygons = {{0, 1, 2, 3}};
    return m;
}

inline model_desc camera_model(const std::string& name = "Camera") {
    model_desc m;
    m.name = name;
    m.type = model_desc::kind::camera;
    return m;
}

// Applies a row-major row-vector transform to a point.
inline std::array<double, 3> transformed(const fbx_matrix& m, const std::array<double, 3>& p) {
    std::array<double, 3> r{};
    for (int c = 0; c < 3; ++c)
        r[c] = p[0] * m[c] + p[1] * m[4 + c] + p[2] * m[8 + c] + m[12 + c];
    return r;
}

}  // namespace kavrin::fbx_test
