// Writes a sample FBX scene:
//   fbx_sample_writer bottle out.fbx [binary] [--at X Y Z] [--rotate X Y Z] [--scale S]
//   fbx_sample_writer camera out.fbx [binary] [--centre X Y Z] [--radius R] [--height H]
//                     [--frames FIRST LAST] [--turn FROM TO] [--focal START END]
// The bottle options place the whole bottle (centimetres, rotation in degrees); the camera
// options shape the orbit: its centre, distance and height above the centre, the animated frames
// and the turn about +y in degrees from the first to the last frame (one full turn by default).
#include "fbx_samples.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace kavrin::fbx_test;

int usage() {
    std::fprintf(stderr,
                 "usage: fbx_sample_writer bottle out.fbx [binary] [--at X Y Z] [--rotate X Y Z]"
                 " [--scale S]\n"
                 "       fbx_sample_writer camera out.fbx [binary] [--centre X Y Z] [--radius R]"
                 " [--height H] [--frames FIRST LAST] [--turn FROM TO] [--focal START END]\n");
    return 2;
}

// Reads `count` numbers after an option; false when any is missing or not a number.
bool numbers(const std::vector<std::string>& args, size_t& i, int count, double* out) {
    if (i + count >= args.size()) return false;
    for (int k = 0; k < count; ++k) {
        const std::string& text = args[i + 1 + k];
        char* end = nullptr;
        out[k] = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0') return false;
    }
    i += count;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    const std::string kind = argv[1];
    if (kind != "bottle" && kind != "camera") {
        std::fprintf(stderr, "unknown sample '%s' (bottle or camera)\n", argv[1]);
        return 2;
    }
    std::vector<std::string> args(argv + 3, argv + argc);
    encoding enc = encoding::ascii;
    vec at{0, 0, 0}, rotate{0, 0, 0};
    double scale = 1.0;
    orbit_layout orbit;
    double turn[2] = {0.0, 360.0};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        double v[3];
        bool ok = true;
        if (a == "binary" && i == 0) {
            enc = encoding::binary;
        } else if (kind == "bottle" && a == "--at" && (ok = numbers(args, i, 3, v))) {
            at = {v[0], v[1], v[2]};
        } else if (kind == "bottle" && a == "--rotate" && (ok = numbers(args, i, 3, v))) {
            rotate = {v[0], v[1], v[2]};
        } else if (kind == "bottle" && a == "--scale" && (ok = numbers(args, i, 1, v))) {
            scale = v[0];
        } else if (kind == "camera" && a == "--centre" && (ok = numbers(args, i, 3, v))) {
            orbit.centre = {v[0], v[1], v[2]};
        } else if (kind == "camera" && a == "--radius" && (ok = numbers(args, i, 1, v))) {
            orbit.radius = v[0];
        } else if (kind == "camera" && a == "--height" && (ok = numbers(args, i, 1, v))) {
            orbit.height = v[0];
        } else if (kind == "camera" && a == "--frames" && (ok = numbers(args, i, 2, v))) {
            orbit.first_frame = static_cast<int>(v[0]);
            orbit.last_frame = static_cast<int>(v[1]);
            ok = orbit.last_frame > orbit.first_frame;
        } else if (kind == "camera" && a == "--turn" && (ok = numbers(args, i, 2, v))) {
            turn[0] = v[0];
            turn[1] = v[1];
        } else if (kind == "camera" && a == "--focal" && (ok = numbers(args, i, 2, v))) {
            orbit.focal_start = v[0];
            orbit.focal_end = v[1];
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "bad or incomplete option '%s'\n", a.c_str());
            return usage();
        }
    }

    scene_desc scene;
    if (kind == "bottle") {
        scene = bottle_scene();
        model_desc& bottle = scene.models.front();
        bottle.translation = at;
        bottle.rotation = rotate;
        bottle.scaling = {scale, scale, scale};
    } else {
        scene = orbit_camera_scene(orbit);
        // The rig turns linearly from the first to the last frame.
        model_desc& rig = scene.models.front();
        const double frames = orbit.last_frame - orbit.first_frame;
        for (auto& [frame, r] : rig.rotation_keys)
            r = {0.0, turn[0] + (turn[1] - turn[0]) * (frame - orbit.first_frame) / frames, 0.0};
    }
    if (!write_file(QString::fromLocal8Bit(argv[2]), scene, enc)) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
