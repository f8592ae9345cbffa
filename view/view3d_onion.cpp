// Onion skin: the frames before and after the current one, drawn translucent behind it from
// their own pictures, so that the artist sees the motion a stroke will bend.
//
// A frame's picture has its particles' colours in it. The tint overrides them with GL state
// instead of a second, colourless picture per frame: with lighting on and no light enabled,
// every vertex takes the material's emission as its colour and the material's diffuse alpha as
// its alpha, whatever colour the picture holds. One picture per frame thus serves as the frame
// itself and as a neighbour.
//
// The neighbours are drawn at the size the current frame is drawn with (points stay points,
// spheres spheres), blended onto black, nearer ones stronger; they neither test nor write depth,
// and the current frame is drawn over them, so it is never buried. That painting is kept in a
// picture of its own and copied under the frame at each repaint; only a change of the view, of
// the sizes or of a neighbour paints it again, so the repaints of a stroke or of hovering cost
// the copy.
#include <algorithm>

#include <GL/gl.h>

#include <QOpenGLContext>
#include <QOpenGLExtraFunctions>
#include <QOpenGLFramebufferObject>

#include "scene/emitter.h"
#include "dynamics/frame_set.h"
#include "view/view3d.h"
#include "view/view_owner.h"

namespace kavrin {

namespace {

// Earlier frames are cool, later ones warm.
const vec3 before_tint(0.25f, 0.55f, 1.0f);
const vec3 after_tint(1.0f, 0.5f, 0.15f);
// Opacity of the nearest neighbours; farther ones fade in even steps.
const float nearest_alpha = 0.5f;

}  // namespace

void view3d::draw_onion_skin(frame_set& fs, int count) {
    emitter& e = *owner_.active_scene();
    const bool cache_display = owner_.toggle("cache_display");
    const float size = cache_display ? 1.0f : points_size(e);
    // While the view moves, large neighbours show the same sample as the frame does.
    const bool sample = moving();
    const qreal ratio = devicePixelRatioF();
    const int w = int(width() * ratio), h = int(height() * ratio);
    const projection p = current_projection();
    std::vector<double> key{double(w),   double(h),     size,          double(cache_display),
                            p.fov,       p.aspect,      p.z_near,      p.z_far,
                            p.eye[0],    p.eye[1],      p.eye[2],      p.centre[0],
                            p.centre[1], p.centre[2],   p.up[0],       p.up[1],
                            p.up[2],     double(count), double(sample)};
    // Farthest first, so that nearer neighbours lie over them.
    std::vector<onion_layer> layers;
    for (int d = count; d >= 1; --d) {
        const float alpha = nearest_alpha * float(count + 1 - d) / float(count);
        for (const int sign : {-1, 1}) {
            auto it = e.frames.find(fs.frame + sign * d);
            if (it == e.frames.end()) continue;
            scene_frame& n = it->second;
            if (!n.needs_step() || n.empty) continue;
            refresh_picture(n, cache_display);
            const frame_picture* picture = picture_of(n);
            if (!picture || picture->sphere_mode != cache_display) continue;
            layers.push_back({picture, sign < 0 ? before_tint : after_tint, alpha});
            key.insert(key.end(), {double(n.frame), double(picture->version)});
        }
    }
    QOpenGLExtraFunctions& gl = *QOpenGLContext::currentContext()->extraFunctions();
    if (!onion_picture_ || onion_picture_->size() != QSize(w, h) || key != onion_key_) {
        if (!onion_picture_ || onion_picture_->size() != QSize(w, h))
            onion_picture_ = std::make_unique<QOpenGLFramebufferObject>(w, h);
        onion_picture_->bind();
        paint_neighbours(layers, size, sample);
        gl.glBindFramebuffer(GL_FRAMEBUFFER, defaultFramebufferObject());
        onion_key_ = std::move(key);
    }
    // Copied, not drawn: the copy bypasses every fragment test and takes the picture as it is.
    gl.glBindFramebuffer(GL_READ_FRAMEBUFFER, onion_picture_->handle());
    gl.glBindFramebuffer(GL_DRAW_FRAMEBUFFER, defaultFramebufferObject());
    gl.glBlitFramebuffer(0, 0, w, h, 0, 0, w, h, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    gl.glBindFramebuffer(GL_FRAMEBUFFER, defaultFramebufferObject());
}

void view3d::paint_neighbours(const std::vector<onion_layer>& layers, float size, bool sample) {
    // Opaque black, alpha included: the copy carries alpha too, and the window's picture must
    // stay opaque.
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_FALSE);
    glPointSize(size);
    glDisable(GL_DEPTH_TEST);
    glEnable(GL_BLEND);
    glEnable(GL_LIGHTING);
    const GLfloat none[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    for (const GLenum part : {GL_AMBIENT, GL_SPECULAR})
        glMaterialfv(GL_FRONT_AND_BACK, part, none);
    for (const onion_layer& layer : layers) {
        const GLfloat emission[4] = {layer.tint[0], layer.tint[1], layer.tint[2], 1.0f};
        const GLfloat opacity[4] = {0.0f, 0.0f, 0.0f, layer.alpha};
        glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, emission);
        glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, opacity);
        if (layer.picture->sphere_mode)
            glCallList(layer.picture->spheres);
        else
            layer.picture->points.draw(sample && layer.picture->points.sample_step() > 1);
    }
    glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, none);
    const GLfloat diffuse[4] = {0.8f, 0.8f, 0.8f, 1.0f};  // GL's default
    glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, diffuse);
    glDisable(GL_LIGHTING);
}

}  // namespace kavrin
