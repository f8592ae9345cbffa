// Writes a sample FBX scene: fbx_sample_writer bottle|camera out.fbx [binary]
#include "fbx_samples.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    using namespace kavrin::fbx_test;
    if (argc < 3 || argc > 4 || (argc == 4 && std::strcmp(argv[3], "binary") != 0)) {
        std::fprintf(stderr, "usage: fbx_sample_writer bottle|camera out.fbx [binary]\n");
        return 2;
    }
    scene_desc scene;
    if (std::strcmp(argv[1], "bottle") == 0) {
        scene = bottle_scene();
    } else if (std::strcmp(argv[1], "camera") == 0) {
        scene = orbit_camera_scene();
    } else {
        std::fprintf(stderr, "unknown sample '%s' (bottle or camera)\n", argv[1]);
        return 2;
    }
    const encoding enc = argc == 4 ? encoding::binary : encoding::ascii;
    if (!write_file(QString::fromLocal8Bit(argv[2]), scene, enc)) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
