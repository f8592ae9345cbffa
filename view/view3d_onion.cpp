// Onion skin: the frames before and after the current one, drawn faintly behind it from their
// own compiled pictures, so that the artist sees the motion a stroke will bend.
//
// A frame's picture has its particles' colours compiled in. The tint overrides them with GL
// state instead of a second, colourless list per frame: with lighting on and no light enabled,
// every vertex takes the material's emission as its colour, whatever colour the list sets. One
// picture per frame thus serves as the frame itself and as a neighbour, and a neighbour costs no
// memory and no compile beyond its own picture.
//
// The neighbours are painted first onto the black background, so a dimmed tint drawn opaque
// looks as the tint blended at that strength would, without the cost of blending; they neither
// test nor write depth, and the current frame drawn after them always lies on top. Their points
// are a third of the size of the current frame's: fainter to the eye, and a ninth of the
// fragments for a software renderer to fill.
#include <algorithm>
#include <mutex>

#include <GL/gl.h>

#include "core/emitter.h"
#include "core/frame_set.h"
#include "view/particle_look.h"
#include "view/view3d.h"
#include "view/view_owner.h"

namespace kavrin {

namespace {

// Earlier frames are cool, later ones warm.
const vec3 before_tint(0.25f, 0.55f, 1.0f);
const vec3 after_tint(1.0f, 0.5f, 0.15f);
// Strength of the nearest neighbours' tint; farther ones fade towards black in even steps.
const float nearest_strength = 0.85f;

}  // namespace

bool view3d::refresh_neighbour(frame_set& fs, bool cache_display) {
    // As for the current frame: a frame that a worker is still changing keeps its old picture.
    if (!(fs.touched || fs.display_list == 0) || !fs.settled) return false;
    std::unique_lock<QMutex> hold(*fs.eat_lock, std::try_to_lock);
    if (!hold.owns_lock()) return false;
    compile_particles(fs, cache_display);
    return true;
}

void view3d::draw_onion_skin(frame_set& fs, int count) {
    emitter& e = *fs.owner;
    const bool cache_display = owner_.toggle("cache_display");
    // At most one neighbour is compiled per paint, and none while the current frame itself is
    // about to be (as during a stroke): a paint never pays for more than one picture.
    const bool may_compile = !(fs.touched && fs.settled);
    bool compiled = false, more = false;

    if (!cache_display) {
        const scene_figures figures{e.point_count.load(), int(e.frames.size()), e.max_scale.load()};
        const float size =
            point_size(owner_.particle_size(), figures, current_projection().fov,
                       camera_snapshot().brush_distance, int(height() * devicePixelRatioF()));
        glPointSize(std::max(1.0f, size / 3.0f));
    }
    glDisable(GL_DEPTH_TEST);
    glDepthMask(GL_FALSE);
    glDisable(GL_BLEND);
    glEnable(GL_LIGHTING);
    const GLfloat none[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    for (const GLenum part : {GL_AMBIENT, GL_DIFFUSE, GL_SPECULAR})
        glMaterialfv(GL_FRONT_AND_BACK, part, none);
    // Farthest first, so that nearer neighbours lie over them.
    for (int d = count; d >= 1; --d) {
        const float strength = nearest_strength * float(count + 1 - d) / float(count);
        for (const int sign : {-1, 1}) {
            auto it = e.frames.find(fs.frame + sign * d);
            if (it == e.frames.end()) continue;
            frame_set& n = it->second;
            if (!n.needs_step || n.empty) continue;
            if (n.touched || n.display_list == 0) {
                if (may_compile && !compiled && refresh_neighbour(n, cache_display))
                    compiled = true;
                else
                    more = more || n.settled;
            }
            if (n.display_list == 0) continue;
            const vec3 tint = (sign < 0 ? before_tint : after_tint) * strength;
            const GLfloat emission[4] = {tint[0], tint[1], tint[2], 1.0f};
            glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, emission);
            glCallList(n.display_list);
        }
    }
    glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, none);
    glDisable(GL_LIGHTING);
    glEnable(GL_BLEND);
    glDepthMask(GL_TRUE);
    glEnable(GL_DEPTH_TEST);
    // The other pictures due come with the next paints, one each.
    if (compiled && more) update();
}

}  // namespace kavrin
