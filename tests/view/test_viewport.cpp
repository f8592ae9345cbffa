#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>

#include <QElapsedTimer>
#include <QImage>
#include <QOpenGLFramebufferObject>
#include <QTest>

#include <GL/gl.h>
#include <GL/glu.h>

#include "dynamics/frame_step.h"
#include "dynamics/octree.h"
#include "test_owner.h"
#include "view/occlusion.h"
#include "view/particle_look.h"
#include "view/view3d.h"

using namespace kavrin;
using test::test_owner;

namespace {

// One occupied node bounding lo..hi, as the frame's node bounds hold it (a frame that was never
// stepped has no margin around its boxes): a root holding a particle at either corner.
void set_box(frame_set& fs, const vec3& lo, const vec3& hi) {
    point_box span;
    span.add(lo);
    span.add(hi);
    init(fs.tree.root(), 0, span.largest_scale() * 0.5f, lo, &fs);
    for (const auto& [id, at] : {std::pair(0, lo), std::pair(1, hi)}) {
        particle& p = fs.particles.try_emplace(id, id, at, 1.0f).first->second;
        fs.tree.root().members.emplace(id, &p);
    }
    bounds_pass(fs, true);
}

// A frame of n x n x n particles spaced by step from corner, stepped once.
scene_frame& block_frame(test_owner& owner, int number, int n, float step_size,
                         const vec3& corner = vec3()) {
    scene_frame& fs = owner.add_frame(number);
    int id = 0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            for (int k = 0; k < n; ++k, ++id)
                fs.particles.try_emplace(
                    id, id, corner + vec3(i * step_size, j * step_size, k * step_size), 1.0f);
    owner.scene->count_filled(id);
    fs.mark_filled();
    step(fs, true, false);
    return fs;
}

struct shown_view {
    test_owner owner;
    view3d view{owner};

    shown_view() {
        view.resize(400, 300);
        view.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&view));
    }
    QImage grab() { return view.grabFramebuffer(); }
    void look_at(const vec3& centre, float distance) {
        camera_state c;
        c.focal_mag = distance;
        c.position = centre - c.focal_vect * distance;
        view.set_camera(c);
    }
};

// The current frame drawn plainly, one glColor3f and glVertex3f per live particle in map order,
// as the viewport's points are meant to look: the reference for its pictures.
QImage immediate_points(shown_view& v, const frame_set& fs) {
    view3d& view = v.view;
    view.makeCurrent();
    const qreal ratio = view.devicePixelRatioF();
    const int w = int(view.width() * ratio), h = int(view.height() * ratio);
    QOpenGLFramebufferObject target(w, h, QOpenGLFramebufferObject::Depth);
    target.bind();
    glViewport(0, 0, w, h);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    const projection p = view.current_projection();
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(p.fov, p.aspect, p.z_near, p.z_far);
    gluLookAt(p.eye[0], p.eye[1], p.eye[2], p.centre[0], p.centre[1], p.centre[2], p.up[0], p.up[1],
              p.up[2]);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glEnable(GL_DEPTH_TEST);
    glDisable(GL_BLEND);
    const emitter& e = *v.owner.scene;
    glPointSize(point_size(v.owner.size, {e.point_count(), int(e.frames.size()), e.max_scale()}, p.fov,
                           view.camera_snapshot().brush_distance, h));
    selection_look sel;
    sel.pick_point = v.owner.window.view.pick_point();
    sel.space = v.owner.tool_brush.space();
    sel.focal_mag = view.camera().focal_mag;
    glBegin(GL_POINTS);
    for (const auto& [id, particle] : fs.particles) {
        if (std::clamp(particle.weight, 0.0f, 1.0f) == 0.0f) continue;
        const vec3 c = particle_colour(particle, false, sel);
        glColor3f(c[0], c[1], c[2]);
        glVertex3f(particle.position[0], particle.position[1], particle.position[2]);
    }
    glEnd();
    glDisable(GL_DEPTH_TEST);
    glEnable(GL_BLEND);
    QImage image = target.toImage().convertToFormat(QImage::Format_RGB32);
    target.release();
    view.doneCurrent();
    return image;
}

// Pixels whose colours differ between two pictures of the same size.
int differing_pixels(const QImage& a, const QImage& b) {
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    int n = 0;
    for (int row = 0; row < x.height(); ++row)
        for (int col = 0; col < x.width(); ++col)
            if ((x.pixel(col, row) & 0xffffff) != (y.pixel(col, row) & 0xffffff)) ++n;
    return n;
}

// Turns the event loop until the current frame's whole picture is shown or ms have passed.
bool wait_for_picture(shown_view& v, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        v.grab();
        if (v.view.picture_complete()) return true;
        QTest::qWait(10);
    }
    return false;
}

int lit_pixels(const QImage& image) {
    int lit = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qGray(image.pixel(x, y)) > 40) ++lit;
    return lit;
}

}  // namespace

TEST(ViewportPick, LandsOnTheNearestFaceAndKeepsThePointOnAMiss) {
    shown_view v;
    scene_frame& fs = v.owner.add_frame(0);
    fs.mark_filled();
    fs.settled = true;
    set_box(fs, vec3(-0.5f, -0.5f, -0.5f), vec3(0.5f, 0.5f, 0.5f));
    ASSERT_TRUE(v.view.frame_shown());

    ASSERT_TRUE(v.view.pick(QPointF(200, 150)));
    EXPECT_TRUE(v.owner.window.view.hit);
    vec3 p = v.owner.window.view.pick_point();
    EXPECT_NEAR(p.z(), 0.5f, 0.01f);  // the front face, not the back one at -0.5
    EXPECT_NEAR(p.x(), 0.0f, 0.02f);
    EXPECT_NEAR(p.y(), 0.0f, 0.02f);

    // Off centre, the point follows the cursor across the face.
    ASSERT_TRUE(v.view.pick(QPointF(250, 150)));
    const vec3 right = v.owner.window.view.pick_point();
    EXPECT_GT(right.x(), 0.1f);
    EXPECT_NEAR(right.z(), 0.5f, 0.01f);

    EXPECT_FALSE(v.view.pick(QPointF(5, 5)));
    EXPECT_FALSE(v.owner.window.view.hit);
    EXPECT_EQ(v.owner.window.view.pick_point(), right);
    EXPECT_EQ(v.view.last_pick_mouse(), QPointF(5, 5));

    // A worker holding the box lock: no hit, and the GUI does not wait.
    {
        const std::unique_lock<mutex> hold = fs.hold_bounds();
        EXPECT_FALSE(v.view.pick(QPointF(200, 150)));
    }
}

TEST(ViewportPick, BoxesUnderTheCursorPickAsAllBoxesDo) {
    // Drawing only the boxes near the cursor must find the same nearest depth as drawing every
    // occupied node's box, over a seeded cloud with a far stray and a grid of cursor positions.
    shown_view v;
    scene_frame& fs = v.owner.add_frame(0);
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-0.6f, 0.6f);
    for (int id = 0; id < 3000; ++id)
        fs.particles.try_emplace(id, id, vec3(u(rng), u(rng) * 0.3f, u(rng)), 1.0f);
    fs.particles.try_emplace(3000, 3000, vec3(2.0f, 0.5f, -1.0f), 1.0f);
    v.owner.scene->count_filled(3001);
    fs.mark_filled();
    step(fs, true, false);
    v.look_at(vec3(0.1f, 0.0f, 0.0f), 2.5f);
    int hits = 0;
    for (int y = 20; y < 300; y += 23)
        for (int x = 10; x < 400; x += 19) {
            const QPointF at(x + 0.37, y + 0.61);
            const bool all = v.view.pick(at, true);
            const vec3 reference = v.owner.window.view.pick_point();
            ASSERT_EQ(v.view.pick(at), all) << x << "," << y;
            if (!all) continue;
            ++hits;
            EXPECT_EQ(v.owner.window.view.pick_point(), reference) << x << "," << y;
        }
    EXPECT_GT(hits, 40);
}

TEST(ViewportDrawing, DirtyUnsettledFrameKeepsShowingItsOldList) {
    shown_view v;
    scene_frame& fs = block_frame(v.owner, 0, 5, 0.1f);
    v.look_at(vec3(0.2f, 0.2f, 0.2f), 1.5f);
    const int shown = lit_pixels(v.grab());
    EXPECT_GT(shown, 50);
    ASSERT_TRUE(v.view.has_picture(0));
    EXPECT_FALSE(fs.touched);

    fs.touched = true;
    fs.settled = false;
    // While the frame changes, its last picture stays on screen and is kept.
    fs.particles.clear();
    EXPECT_EQ(lit_pixels(v.grab()), shown);
    EXPECT_TRUE(v.view.has_picture(0));
    EXPECT_TRUE(fs.touched);

    fs.settled = true;  // settled again: the list is rebuilt from what the frame now holds
    EXPECT_EQ(lit_pixels(v.grab()), 0);
    EXPECT_FALSE(fs.touched);
}

TEST(ViewportDrawing, AnotherSceneShowsItsOwnFramesNotThePicturesOfTheLast) {
    // The pictures are kept by frame number: a scene put in place of the shown one, whether
    // the old one is still alive or already gone, must show its own frame 0.
    shown_view v;
    block_frame(v.owner, 0, 5, 0.1f);
    v.look_at(vec3(0.2f, 0.2f, 0.2f), 1.5f);
    const QImage first = v.grab();
    ASSERT_GT(lit_pixels(first), 50);
    for (const bool keep_old : {true, false}) {
        std::unique_ptr<emitter> old = std::move(v.owner.scene);
        v.owner.scene = std::make_unique<emitter>(false, &v.owner.window);
        // Not even marked as changed: the view must tell the scenes apart by itself.
        block_frame(v.owner, 0, 5, 0.1f, vec3(0.25f, 0.0f, 0.0f)).touched = false;
        if (!keep_old) old.reset();
        EXPECT_EQ(differing_pixels(v.grab(), immediate_points(v, v.owner.scene->frame(0))), 0);
        EXPECT_NE(differing_pixels(v.grab(), first), 0);
    }
}

TEST(ViewportDrawing, ParticlesLightUpWhereTheyProjectAndNowhereElse) {
    shown_view v;
    scene_frame& fs = block_frame(v.owner, 0, 4, 0.1f);
    v.owner.size = 60;
    v.look_at(vec3(0.15f, 0.15f, 0.15f), 1.5f);
    const QImage image = v.grab();
    const projection p = v.view.current_projection();
    for (const auto& [id, particle] : fs.particles) {
        const QPoint at = project_point(p, 400, 300, particle.position).toPoint();
        ASSERT_TRUE(image.rect().contains(at));
        EXPECT_GT(qGray(image.pixel(at)), 20) << id;  // the darkest shade is 0.15
    }
    for (const QPoint corner : {QPoint(2, 2), QPoint(397, 2), QPoint(2, 297), QPoint(397, 297)})
        EXPECT_EQ(image.pixel(corner), qRgb(0, 0, 0));
    // Alpha stays opaque although everything is blended.
    EXPECT_EQ(qAlpha(image.pixel(200, 150)), 255);
}

TEST(ViewportDrawing, PicturesDrawWhatPlainPointsDrawThroughStrokeStepsAndRemovals) {
    // A seeded cloud with overlapping points, some removed and some selected, drawn from the
    // viewport's buffers must equal the plain drawing pixel for pixel: after it is made, after
    // a stroke step rewrote the brushed particles in place, after removals and after the
    // stroke's selection ended.
    shown_view v;
    scene_frame& fs = v.owner.add_frame(0);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int id = 0; id < 4000; ++id)
        fs.particles.try_emplace(id, id, vec3(u(rng), u(rng) * 0.5f, u(rng)), 1.0f);
    v.owner.scene->count_filled(4000);
    fs.mark_filled();
    step(fs, true, false);
    for (auto& [id, p] : fs.particles)
        if (id % 17 == 0) p.weight = 0.0f;
    fs.touched = true;
    v.owner.size = 45;
    v.look_at(vec3(0.5f, 0.25f, 0.5f), 2.2f);
    v.owner.window.view.set_pick_point(vec3(0.5f, 0.25f, 0.5f));
    v.owner.tool_brush.set_space(0.1f);
    const QImage made = v.grab();
    EXPECT_GT(lit_pixels(made), 5000);
    EXPECT_EQ(differing_pixels(made, immediate_points(v, fs)), 0);

    // A stroke step: the brushed particles move, are selected, and one in five is removed.
    std::vector<particle*> brushed;
    for (auto& [id, p] : fs.particles)
        if (length(p.position - vec3(0.5f, 0.25f, 0.5f)) < 0.2f) brushed.push_back(&p);
    ASSERT_GT(brushed.size(), 50u);
    for (size_t i = 0; i < brushed.size(); ++i) {
        brushed[i]->position += vec3(0.03f, 0.02f, 0.0f);
        if (i % 5 == 0) brushed[i]->weight = 0.0f;
        if (i % 7 == 0) brushed[i]->weight = 1.0f;  // some removed ones come back
    }
    v.owner.scene->select(&brushed);
    fs.brushed_only = true;
    fs.touched = true;
    v.owner.window.view.set_pick_point(vec3(0.52f, 0.26f, 0.5f));
    const QImage stepped = v.grab();
    EXPECT_NE(differing_pixels(stepped, made), 0);
    EXPECT_EQ(differing_pixels(stepped, immediate_points(v, fs)), 0);

    // The stroke ends: its selection goes, and with it the heat colours.
    v.owner.scene->select(nullptr);
    fs.touched = true;
    EXPECT_EQ(differing_pixels(v.grab(), immediate_points(v, fs)), 0);
    EXPECT_TRUE(v.view.picture_complete());
}

TEST(ViewportDrawing, LargeFramesComeFromAWorkerAndShowAFixedSampleWhileTheViewMoves) {
    EXPECT_EQ(sample_step_for(moving_limit), 1);
    const int step = sample_step_for(1000000);
    EXPECT_GT(step, 1);
    int in = 0;
    for (int32_t id = 0; id < 300000; ++id)
        in += in_sample(id, step) ? 1 : 0;
    EXPECT_NEAR(double(in) / 300000.0, 1.0 / step, 0.2 / step);

    shown_view v;
    const int n = 60;  // 216,000 particles: above what is made on the GUI thread
    scene_frame& fs = block_frame(v.owner, 0, n, 1.0f / n);
    v.look_at(vec3(0.5f, 0.5f, 0.5f), 2.5f);
    ASSERT_TRUE(wait_for_picture(v, 20000));
    const QImage whole = v.grab();
    EXPECT_EQ(v.view.moving_sample(), 0);

    // An orbit: every repaint while it moves draws the sample, the same one each time.
    v.owner.window.set_key("alt", true);
    QTest::mousePress(&v.view, Qt::LeftButton, Qt::AltModifier, QPoint(200, 150));
    QTest::mouseMove(&v.view, QPoint(200, 151));
    const QImage moving = v.grab();
    EXPECT_EQ(v.view.moving_sample(), sample_step_for(fs.particles.size()));
    EXPECT_FALSE(v.view.picture_complete());
    EXPECT_LT(lit_pixels(moving), lit_pixels(whole));
    EXPECT_EQ(v.grab(), moving);
    QTest::mouseRelease(&v.view, Qt::LeftButton, Qt::AltModifier, QPoint(200, 151));
    // At rest again the whole frame comes back, drawn a slice a paint; the slices add up to
    // what one plain drawing gives.
    QTest::qWait(200);
    ASSERT_TRUE(wait_for_picture(v, 5000));
    EXPECT_EQ(v.view.moving_sample(), 0);
    const QImage rested = v.grab();
    EXPECT_EQ(differing_pixels(rested, immediate_points(v, fs)), 0);

    // A stroke step on the rested frame moves an edge of the block out and removes some of it;
    // then the stroke ends and the selection's colours go. Each time one paint brings the whole
    // painting up to date, and it equals one plain drawing of the frame.
    std::vector<particle*> brushed;
    for (auto& [id, p] : fs.particles)
        if (p.position[0] > 0.85f && p.position[1] > 0.85f) brushed.push_back(&p);
    for (size_t i = 0; i < brushed.size(); ++i) {
        brushed[i]->position += vec3(0.05f, 0.05f, 0.0f);
        if (i % 5 == 0) brushed[i]->weight = 0.0f;
    }
    v.owner.scene->select(&brushed);
    for (const bool selected : {true, false}) {
        if (!selected) v.owner.scene->select(nullptr);
        fs.brushed_only = true;
        fs.touched = true;
        const QImage stepped = v.grab();
        EXPECT_TRUE(v.view.picture_complete());
        EXPECT_NE(differing_pixels(stepped, rested), 0);
        EXPECT_EQ(differing_pixels(stepped, immediate_points(v, fs)), 0);
    }
}

TEST(ViewportDrawing, OnionSkinTintsTheFrameBeforeCoolAndTheFrameAfterWarmBehindTheCurrent) {
    shown_view v;
    v.owner.size = 60;
    const vec3 corners[3] = {vec3(-0.7f, 0, 0), vec3(0, 0, 0), vec3(0.7f, 0, 0)};
    for (int f = 0; f < 3; ++f)
        block_frame(v.owner, f, 3, 0.1f, corners[f]);
    v.owner.window.current_frame = 1;
    v.look_at(vec3(0.1f, 0.1f, 0.1f), 2.5f);
    // Pixels of each frame's particles, by frame, as red minus blue (or -1000 when black).
    auto tints = [&](const QImage& image) {
        std::array<std::vector<int>, 3> out;
        const projection p = v.view.current_projection();
        for (int f = 0; f < 3; ++f)
            for (const auto& [id, particle] : v.owner.scene->frame(f).particles) {
                // The brightest pixel around the projection: a small point may fall beside it.
                const QPoint at = project_point(p, 400, 300, particle.position).toPoint();
                if (!QRect(1, 1, 398, 298).contains(at)) {
                    out[f].push_back(0);  // off the picture: neither tint nor black
                    continue;
                }
                QRgb c = image.pixel(at);
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        if (qGray(image.pixel(at + QPoint(dx, dy))) > qGray(c))
                            c = image.pixel(at + QPoint(dx, dy));
                out[f].push_back(qGray(c) < 8 ? -1000 : qRed(c) - qBlue(c));
            }
        return out;
    };
    auto all = [](const std::vector<int>& v, auto test) {
        return std::all_of(v.begin(), v.end(), test);
    };
    const QImage off_image = v.grab();
    const auto off = tints(off_image);
    EXPECT_TRUE(all(off[0], [](int d) { return d == -1000; }));
    EXPECT_TRUE(all(off[2], [](int d) { return d == -1000; }));

    v.owner.onion = 1;
    const QImage with_onion = v.grab();
    const auto on = tints(with_onion);
    EXPECT_TRUE(all(on[0], [](int d) { return d != -1000 && d < -40; }));  // cool
    EXPECT_TRUE(all(on[2], [](int d) { return d > 40; }));                 // warm
    EXPECT_EQ(on[1], off[1]);  // the current frame drawn as without onion skin
    // Translucent: a neighbour's point is fainter than its full tint, and drawn at the size of
    // the current frame's points.
    const projection p = v.view.current_projection();
    const vec3 first = v.owner.scene->frame(0).particles.at(0).position;
    const QPoint at = project_point(p, 400, 300, first).toPoint();
    const QRgb tint = with_onion.pixel(at);
    EXPECT_LT(qBlue(tint), 200);
    int run = 1;
    while (at.x() + run < 400 && with_onion.pixel(at + QPoint(run, 0)) == tint)
        ++run;
    for (int left = 1; at.x() - left >= 0 && with_onion.pixel(at - QPoint(left, 0)) == tint; ++left)
        ++run;
    const emitter& e = *v.owner.scene;
    const float size = point_size(v.owner.size, {e.point_count(), int(e.frames.size()), e.max_scale()},
                                  p.fov, v.view.camera_snapshot().brush_distance, 300);
    EXPECT_GE(run, int(size) - 1);

    // The neighbours' picture follows the view, and goes with the onion skin.
    v.look_at(vec3(0.1f, 0.3f, 0.2f), 3.0f);
    const auto moved = tints(v.grab());
    EXPECT_TRUE(all(moved[0], [](int d) { return d != -1000 && d < -40; }));
    EXPECT_TRUE(all(moved[2], [](int d) { return d > 40; }));
    v.owner.onion = 0;
    const auto gone = tints(v.grab());
    EXPECT_TRUE(all(gone[0], [](int d) { return d == -1000; }));
    // A neighbour lying right over the current frame does not bury it.
    for (auto& [id, particle] : v.owner.scene->frame(0).particles)
        particle.position = v.owner.scene->frame(1).particles.at(id).position;
    v.owner.scene->frame(0).touched = true;
    v.owner.onion = 1;
    v.look_at(vec3(0.1f, 0.1f, 0.1f), 2.5f);
    const QImage overlaid = v.grab();
    for (const auto& [id, particle] : v.owner.scene->frame(1).particles) {
        const QPoint c = project_point(p, 400, 300, particle.position).toPoint();
        if (!QRect(0, 0, 400, 300).contains(c)) continue;
        EXPECT_EQ(overlaid.pixel(c), off_image.pixel(c)) << id;
    }
}

TEST(ViewportDrawing, GridShowsOnlyWithTheCameraGuide) {
    shown_view v;
    const int dark = lit_pixels(v.grab());
    v.owner.toggles["camera_guide"] = true;
    v.view.set_camera(fountain_camera());
    const QImage image = v.grab();
    EXPECT_GT(lit_pixels(image) + image.width(), dark + image.width());
    // The +x axis is red: some pixel is clearly red.
    bool red = false;
    for (int y = 0; y < image.height() && !red; ++y)
        for (int x = 0; x < image.width() && !red; ++x) {
            const QRgb c = image.pixel(x, y);
            red = qRed(c) > 150 && qGreen(c) < 60 && qBlue(c) < 60;
        }
    EXPECT_TRUE(red);
}

TEST(ViewportDrawing, DebugLevelsAddTheirOverlays) {
    shown_view v;
    block_frame(v.owner, 0, 5, 0.1f);
    v.look_at(vec3(0.2f, 0.2f, 0.2f), 1.5f);
    const QImage plain = v.grab();
    v.owner.debug_level = 1;  // octree cubes around the particles
    EXPECT_GT(lit_pixels(v.grab()), lit_pixels(plain));
    for (int level : {2, 4, 5, 7}) {
        v.owner.debug_level = level;
        EXPECT_NE(v.grab(), plain) << level;
    }
    v.owner.debug_level = 3;  // no overlay of its own
    EXPECT_EQ(v.grab(), plain);
}

TEST(ViewportInput, AltDragsSteerTheCameraAndLog) {
    shown_view v;
    block_frame(v.owner, 0, 3, 0.1f);
    v.look_at(vec3(0.1f, 0.1f, 0.1f), 1.5f);
    v.owner.window.set_key("alt", true);
    const camera_state before = v.view.camera();
    QTest::mousePress(&v.view, Qt::LeftButton, Qt::AltModifier, QPoint(200, 150));
    EXPECT_TRUE(v.owner.window.view.drag_active);
    QTest::mouseMove(&v.view, QPoint(240, 150));
    QTest::mouseRelease(&v.view, Qt::LeftButton, Qt::AltModifier, QPoint(240, 150));
    EXPECT_FALSE(v.owner.window.view.drag_active);
    EXPECT_FALSE(v.owner.mode);
    const camera_state after = v.view.camera();
    EXPECT_NEAR(after.centre().x(), before.centre().x(), 1e-4f);
    EXPECT_GT(length(after.position - before.position), 0.1f);
    EXPECT_EQ(v.owner.window.count_lines("camera control / rotate"), 1);
    EXPECT_GT(v.owner.timeline_redraws, 0);
    // Workers see the moved camera.
    EXPECT_EQ(v.owner.window.count_lines("stroke length"), 0);
    EXPECT_EQ(v.view.camera_snapshot().position, after.position);
}

TEST(ViewportInput, LeftStrokePaintsTheFrameAndLogsItsLength) {
    shown_view v;
    scene_frame& fs = block_frame(v.owner, 0, 5, 0.1f);
    v.look_at(vec3(0.2f, 0.2f, 0.2f), 1.5f);
    v.owner.window.brush_state.space = 0.2f;
    QTest::mousePress(&v.view, Qt::LeftButton, Qt::NoModifier, QPoint(200, 150));
    EXPECT_TRUE(v.owner.window.view.drag_active);
    for (int x = 202; x <= 220; x += 3) {
        QTest::mouseMove(&v.view, QPoint(x, 150));
        QTest::qWait(20);
    }
    QTest::mouseRelease(&v.view, Qt::LeftButton, Qt::NoModifier, QPoint(220, 150));
    EXPECT_FALSE(v.owner.window.view.busy);
    EXPECT_FALSE(v.owner.window.view.drag_active);
    const QStringList lines = v.owner.window.log_lines();
    const auto logged = std::find_if(lines.begin(), lines.end(), [](const QString& l) {
        return l.startsWith("stroke length / grab / ");
    });
    ASSERT_NE(logged, lines.end());
    const int steps = logged->section(" / ", 2).toInt();
    EXPECT_GE(steps, 1);
    EXPECT_EQ(v.owner.window.view.stroke_steps, 0);
    EXPECT_EQ(v.owner.scene->history().undo_depth(), 1);  // add_near took the stroke
    EXPECT_FALSE(fs.read_history().entries().empty());
}

TEST(ViewportInput, PlayingOrHiddenFramesTakeNoStroke) {
    shown_view v;
    scene_frame& fs = block_frame(v.owner, 0, 3, 0.1f);
    v.look_at(vec3(0.1f, 0.1f, 0.1f), 1.5f);
    v.owner.is_playing = true;
    QTest::mousePress(&v.view, Qt::LeftButton, Qt::NoModifier, QPoint(200, 150));
    QTest::mouseMove(&v.view, QPoint(205, 150));
    QTest::mouseRelease(&v.view, Qt::LeftButton, Qt::NoModifier, QPoint(205, 150));
    EXPECT_EQ(v.owner.window.count_lines("stroke length / grab / 0"), 1);

    // Geometry shown but no frame: camera drags still work, brush presses do nothing.
    v.owner.is_playing = false;
    v.owner.window.stepping = false;
    v.owner.imports["geometry"] = true;
    v.owner.toggles["geometry_visible"] = true;
    ASSERT_TRUE(v.view.active());
    QTest::mousePress(&v.view, Qt::LeftButton, Qt::NoModifier, QPoint(200, 150));
    EXPECT_FALSE(v.owner.window.view.drag_active);
    QTest::mouseRelease(&v.view, Qt::LeftButton, Qt::NoModifier, QPoint(200, 150));
    EXPECT_EQ(v.owner.window.count_lines("stroke length"), 1);
    v.owner.window.set_key("alt", true);
    QTest::mousePress(&v.view, Qt::RightButton, Qt::AltModifier, QPoint(200, 150));
    QTest::mouseMove(&v.view, QPoint(230, 150));
    QTest::mouseRelease(&v.view, Qt::RightButton, Qt::AltModifier, QPoint(230, 150));
    EXPECT_LT(v.view.camera().focal_mag, 1.5f);
    EXPECT_TRUE(fs.read_history().entries().empty());
}

TEST(ViewportDrawing, TheVisiblePartOfAPictureDrawsThePixelsOfAllOfIt) {
    // Seeded clouds drawn point by point, all of them and then only the part visible_slots
    // keeps, must give the same pixels, for several point sizes and views: a dense ball that
    // hides most of itself, scattered points, and points behind the eye or beyond the view's
    // edges.
    shown_view v;
    v.view.makeCurrent();
    const int w = 320, h = 240;
    QOpenGLFramebufferObject target(w, h, QOpenGLFramebufferObject::Depth);
    std::mt19937 rng(11);
    std::normal_distribution<float> ball(0.0f, 0.15f);
    std::uniform_real_distribution<float> u(-3.0f, 3.0f), hue(0.1f, 1.0f);
    std::vector<vec3> positions, colours;
    for (int i = 0; i < 40000; ++i) {
        positions.push_back(i % 4 == 0 ? vec3(u(rng), u(rng), u(rng))
                                       : vec3(ball(rng), ball(rng), ball(rng)));
        colours.emplace_back(hue(rng), hue(rng), hue(rng));
    }
    std::vector<uint32_t> live;
    for (uint32_t s = 0; s < positions.size(); s += 1 + s % 3)
        live.push_back(s);
    auto draw = [&](const std::vector<uint32_t>& slots, float size) {
        glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glPointSize(size);
        glBegin(GL_POINTS);
        for (const uint32_t s : slots) {
            glColor3f(colours[s][0], colours[s][1], colours[s][2]);
            glVertex3f(positions[s][0], positions[s][1], positions[s][2]);
        }
        glEnd();
        return target.toImage();
    };
    target.bind();
    glViewport(0, 0, w, h);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glEnable(GL_DEPTH_TEST);
    glDisable(GL_BLEND);
    const std::array<vec3, 3> eyes{vec3(0.0f, 0.3f, 2.0f), vec3(1.5f, -0.4f, 0.7f),
                                   vec3(0.2f, 0.1f, 0.6f)};
    size_t kept = 0, all = 0;
    for (const vec3& eye : eyes)
        for (const float size : {1.0f, 2.5f, 4.7f, 8.3f}) {
            glMatrixMode(GL_PROJECTION);
            glLoadIdentity();
            gluPerspective(40.0, double(w) / h, 0.05, 50.0);
            gluLookAt(eye[0], eye[1], eye[2], 0, 0, 0, 0, 1, 0);
            glMatrixMode(GL_MODELVIEW);
            glLoadIdentity();
            const std::vector<uint32_t> part =
                visible_slots(positions, live, screen_mapping::current(), size, 2);
            EXPECT_TRUE(std::includes(live.begin(), live.end(), part.begin(), part.end()));
            const QImage whole = draw(live, size);
            EXPECT_GT(lit_pixels(whole), 2000);
            EXPECT_EQ(differing_pixels(draw(part, size), whole), 0)
                << "size " << size << " eye " << eye[0] << " " << eye[1] << " " << eye[2];
            if (size > 4.0f) {
                kept += part.size();
                all += live.size();
            }
        }
    target.release();
    v.view.doneCurrent();
    // Points of several pixels: most of the ball lies behind its own surface.
    EXPECT_LT(kept, all / 2);
}
