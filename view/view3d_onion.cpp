// Onion skin: the frames before and after the current one, drawn faintly behind it from their
// own compiled pictures, so that the artist sees the motion a stroke will bend.
//
// A frame's picture has its particles' colours compiled in. The tint overrides them with GL
// state instead of a second, colourless list per frame: with lighting on and no light enabled,
// every vertex takes the material's emission as its colour, whatever colour the list sets. One
// picture per frame thus serves as the frame itself and as a neighbour, and a neighbour costs no
// memory and no compile beyond its own picture.
//
// The neighbours are painted onto black, each as a dimmed tint drawn opaque, which looks as the
// tint blended at that strength would without the cost of blending; they neither test nor write
// depth. Their points are a third of the size of the current frame's: fainter to the eye, and a
// ninth of the fragments for a software renderer to fill. That painting is kept in a picture of
// its own and copied under the frame at each repaint; only a change of the view, of the sizes or
// of a neighbour paints it again, so the repaints of a stroke or of hovering cost the copy.
#include <algorithm>
#include <mutex>

#include <GL/gl.h>

#include <QOpenGLContext>
#include <QOpenGLExtraFunctions>
#include <QOpenGLFramebufferObject>

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

    float size = 1.0f;
    if (!cache_display) {
        const scene_figures figures{e.point_count.load(), int(e.frames.size()), e.max_scale.load()};
        size = std::max(1.0f, point_size(owner_.particle_size(), figures, current_projection().fov,
                                         camera_snapshot().brush_distance,
                                         int(height() * devicePixelRatioF())) /
                                  3.0f);
    }
    const qreal ratio = devicePixelRatioF();
    const int w = int(width() * ratio), h = int(height() * ratio);
    const projection p = current_projection();
    std::vector<double> key{double(w),   double(h),    size,     double(cache_display),
                            p.fov,       p.aspect,     p.z_near, p.z_far,
                            p.eye[0],    p.eye[1],     p.eye[2], p.centre[0],
                            p.centre[1], p.centre[2],  p.up[0],  p.up[1],
                            p.up[2],     double(count)};
    // Farthest first, so that nearer neighbours lie over them.
    std::vector<std::pair<unsigned, vec3>> lists;
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
            lists.emplace_back(n.display_list, (sign < 0 ? before_tint : after_tint) * strength);
            key.insert(key.end(), {double(n.frame), double(list_versions_[n.frame])});
        }
    }
    QOpenGLExtraFunctions& gl = *QOpenGLContext::currentContext()->extraFunctions();
    if (!onion_picture_ || onion_picture_->size() != QSize(w, h) || key != onion_key_) {
        if (!onion_picture_ || onion_picture_->size() != QSize(w, h))
            onion_picture_ = std::make_unique<QOpenGLFramebufferObject>(w, h);
        onion_picture_->bind();
        paint_neighbours(lists, size);
        gl.glBindFramebuffer(GL_FRAMEBUFFER, defaultFramebufferObject());
        onion_key_ = std::move(key);
    }
    // Copied, not drawn: the copy bypasses every fragment test and takes the picture as it is.
    gl.glBindFramebuffer(GL_READ_FRAMEBUFFER, onion_picture_->handle());
    gl.glBindFramebuffer(GL_DRAW_FRAMEBUFFER, defaultFramebufferObject());
    gl.glBlitFramebuffer(0, 0, w, h, 0, 0, w, h, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    gl.glBindFramebuffer(GL_FRAMEBUFFER, defaultFramebufferObject());
    // The other pictures due come with the next paints, one each.
    if (compiled && more) update();
}

void view3d::paint_neighbours(const std::vector<std::pair<unsigned, vec3>>& lists, float size) {
    // Opaque black, alpha included: the copy carries alpha too, and the window's picture must
    // stay opaque.
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_FALSE);
    glPointSize(size);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_BLEND);
    glEnable(GL_LIGHTING);
    const GLfloat none[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    for (const GLenum part : {GL_AMBIENT, GL_DIFFUSE, GL_SPECULAR})
        glMaterialfv(GL_FRONT_AND_BACK, part, none);
    for (const auto& [list, tint] : lists) {
        const GLfloat emission[4] = {tint[0], tint[1], tint[2], 1.0f};
        glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, emission);
        glCallList(list);
    }
    glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, none);
    glDisable(GL_LIGHTING);
    glEnable(GL_BLEND);
}

}  // namespace kavrin
