#pragma once
// The OpenGL viewport: shows the current frame through the orbit camera, turns mouse input into
// camera drags or brush strokes, and picks the point under the cursor on the frame's occupied
// cells.

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include <QOpenGLWidget>
#include <QPointF>
#include <QRect>
#include <QTimer>

#include "base/mutex.h"
#include "scene/window_link.h"
#include "view/camera.h"
#include "view/particle_picture.h"

class QOpenGLFramebufferObject;

namespace kavrin {

class emitter;
class frame_set;
class scene_frame;
class view_owner;

// The window's modifier keys without waiting: its map when the key lock is free, else the copy
// that the current stroke took.
key_state held_keys(view_owner& owner);

class view3d : public QOpenGLWidget {
    Q_OBJECT
  public:
    explicit view3d(view_owner& owner, QWidget* parent = nullptr);
    ~view3d() override;

    // The emitter exists, stepping is on and the current frame exists with needs_step set.
    bool frame_shown() const;
    // Side-panel toggle k of "camera_animation", "geometry_visible", "camera_guide",
    // "cache_display"; for k = 0, whether the scene-camera view is value at this frame.
    bool panel_toggle(int k, bool value = true) const;
    // Anything to show or steer: geometry, the camera guide or a frame.
    bool active() const;
    // Looking through the imported scene camera at the current frame.
    bool scene_view() const;

    // Selection pick at a widget position; true on a hit, which moves the pick point. It draws
    // the boxes of the frame's occupied nodes that may lie under the cursor, or with every_box
    // all of them (the nearest depth is the same either way).
    bool pick(const QPointF& position, bool every_box = false);

    // The brush direction after "ctrl" or "shift" changed: the window calls it once per changed
    // key while the frame is shown; it updates the vector and repaints.
    void keys_changed();

    // A left-button stroke is held on the shown frame.
    bool stroke_held() const { return brush_left_; }
    // Esc during a stroke: the emitter takes the stroke back, and for the viewport the stroke is
    // over; the button's later release ends nothing. Nothing happens without a stroke.
    void cancel_stroke();
    // Moves the free camera, without turning it, so that the current frame's particles fill the
    // view; false (nothing moved) without a shown frame, through the scene camera, or while a
    // worker has the frame.
    bool frame_particles();

    // Frames everything there is: the particles of every frame and the shown geometry; false as
    // frame_particles.
    bool frame_all();

    // The brush's size or strength ring (keys R and Shift+R): the pointer's distance from its
    // centre sets the space or the power, shown in numbers beside it, until a left click or
    // Enter keeps the value, or a right click or Esc takes it back. Opens over a shown frame,
    // with no button held, not through the scene camera.
    enum class ring { none, size, strength };
    bool open_ring(ring which);
    void close_ring(bool keep);
    ring ring_open() const { return ring_; }
    // Radius of the strength ring at full power, in pixels.
    static constexpr float strength_ring_pixels = 200.0f;

    camera_state camera() const;
    void set_camera(const camera_state& c);
    // What a stroke worker reads of the camera; callable from any thread.
    camera_values camera_snapshot() const;
    // Projection of the last camera setup (the free camera before the first paint).
    projection current_projection() const;

    // A key of the imported scene camera applied to a point; strict look-up of the frame.
    vec3 transform_point(int frame, const vec3& p) const;

    // The current frame is shown with its full, up-to-date picture: the last paint drew all of
    // its particles as they are now.
    bool picture_complete() const;
    // 1 in how many of the current frame's particles the last paint drew while the view moved;
    // 0 when it drew them all.
    int moving_sample() const { return shown_sample_; }

    // Deletes the pictures of the scene's frames (it is going away) with this viewport's
    // context current.
    void release_pictures();
    // The viewport holds a picture of frame number of the scene it shows.
    bool has_picture(int number) const { return pictures_.count(number) > 0; }

    // Imported geometry (FBX): triangles of three floats per vertex, under geometry_lock.
    mutex geometry_lock;
    int geometry_count = 0;
    std::vector<float> geometry_vertices, geometry_normals;

    // Imported scene camera: keys by frame, film aspect, scene size. GUI thread only.
    std::map<int, scene_key> scene_camera_keys;
    float scene_camera_aspect = 1.0f;
    float scene_camera_scale = 1.0f;

    QPointF last_pick_mouse() const { return last_pick_mouse_; }

  protected:
    void initializeGL() override;
    void paintGL() override;
    void resizeGL(int w, int h) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

  private:
    void button(QMouseEvent* event, bool pressed);
    bool camera_drag(const QPointF& position);
    void brush_move(const QPointF& position);
    void update_brush_vector();
    void stroke_end();
    void drop_brush_drag();
    void camera_setup();
    // A held Grab off the particles: the pick moves on the view plane through the last pick.
    bool pick_off_surface(const QPointF& position);
    // Moves the free camera to fill the view with the points; false for none.
    bool frame_points(std::vector<vec3>& points);
    void ring_move(const QPointF& position);
    void draw_ring();
    // Box triangles for a pick under the current projection; geometry lock held.
    std::vector<float> pick_boxes(frame_set& fs, bool every_box) const;
    void publish_camera();
    scene_frame* current_frame() const;

    // A frame's particles as drawn: points in buffers, or spheres in a display list in display
    // mode ("cache_display").
    struct frame_picture {
        particle_picture points;
        unsigned spheres = 0;
        bool sphere_mode = false;
        unsigned version = 0;  // counts the changes, so that reuses of a painting can tell
        // The places that in-place updates changed since version repaint_base: a painting of
        // that version or later is brought up to date by painting again around them.
        unsigned repaint_base = 0;
        std::vector<vec3> repaint_places;
        // The picture changed as a whole (a new upload, or an update whose old places are
        // unknown): no earlier painting can be brought up to date.
        void renewed();
        // An in-place update changed the picture at these places.
        void changed(picture_change&& change);
        // The part of the picture that can show in a view, found with it.
        std::optional<picture_inbox::visible_result> found_part;
    };

    // Drawing (view3d_paint.cpp).
    void draw_particles(frame_set& fs);
    // Brings a frame's picture up to date, in place or by a worker; true when it changed now.
    bool refresh_picture(frame_set& fs, bool cache_display);
    void build_on_worker(frame_set& fs);
    void compile_spheres(frame_set& fs, frame_picture& picture);
    // Uploads the pictures that workers made.
    void collect_pictures();
    frame_picture* picture_of(const frame_set& fs);
    frame_picture& new_picture(frame_set& fs);
    void adopt(frame_set& fs, frame_picture& picture, picture_data&& data);
    selection_look current_look() const;
    // The point size of particles in points mode.
    float points_size(const emitter& e) const;
    // Brings whole_picture_ closer to a painting of a large frame's whole picture (a slice of
    // the part that can show, or a repaint around what changed) and lays what it holds over the
    // view, depth included; true once the painting is whole. Draws the sample instead while the
    // part is being found or a newer picture made.
    bool draw_whole_in_slices(const frame_set& fs, frame_picture& picture, float size);
    // The part of picture that can show in the view of key, when a worker has found it;
    // otherwise asks a worker for it, and the view is painted again when it comes.
    std::optional<std::vector<uint32_t>> visible_part(const std::vector<double>& key,
                                                      frame_picture& picture, float size);
    // What a whole painting of fs's picture with points of size pixels depends on, besides
    // the picture's version: the view's size and projection, and the picture.
    std::vector<double> whole_view_key(const frame_set& fs, float size) const;
    // The window box (GL's y up) where the particles of picture's repaint places show with
    // points of size pixels, empty for none; none when it is too large to be worth painting
    // again alone.
    std::optional<QRect> repaint_box(const frame_picture& picture, float size) const;
    // Paints the whole picture again, in one draw, inside box; whole_picture_ bound.
    void repaint_inside(const frame_picture& picture, const QRect& box);
    // Builds the pictures of the frames next to fs on a worker while nothing else is built.
    void prefetch_neighbours(frame_set& fs);
    // The camera moved or a stroke went on: large frames draw their sample until it rests.
    void note_motion();
    bool moving() const { return motion_end_.isActive(); }
    void draw_overlay_before(scene_frame& fs, int level);
    void draw_octree(frame_set& fs);
    void draw_normal_field(frame_set& fs);
    void draw_density_field(frame_set& fs);
    void draw_stroke_history(scene_frame& fs);
    void draw_leaf_members(frame_set& fs);
    void draw_debug_geometry(frame_set& fs);
    void draw_imported_geometry();
    void draw_ground_grid();
    void draw_camera_guide();
    void draw_brush_cursor();
    // Onion skin (view3d_onion.cpp).
    struct onion_layer {
        const frame_picture* picture;
        vec3 tint;
        float alpha;
    };
    void draw_onion_skin(frame_set& fs, int count);
    void paint_neighbours(const std::vector<onion_layer>& layers, float size, bool sample);

    view_owner& owner_;
    unsigned sphere_list_ = 0;        // fine sphere of the brush
    unsigned small_sphere_list_ = 0;  // coarse sphere of particles and overlays

    mutable mutex camera_lock_;  // guards cam_, last_projection_ and published_: workers read
    camera_state cam_;
    projection last_projection_;
    camera_values published_;

    bool cam_translate_ = false, cam_scale_ = false, cam_rotate_ = false;
    bool brush_middle_ = false, brush_right_ = false, brush_left_ = false;
    bool stroke_cancelled_ = false;  // Esc ended the held stroke: its release ends nothing
    ring ring_ = ring::none;
    QPointF ring_centre_;
    float ring_before_ = 0.0f;  // the value the ring started from
    Qt::MouseButton ring_click_ =
        Qt::NoButton;  // the click that closed the ring: its release ends nothing
    QPointF last_mouse_;
    QPointF hover_;  // the pointer's last move over the viewport
    QPointF last_pick_mouse_;
    // Centre of each frame's particles, measured when its picture is made; for the brush
    // distance through a scene camera. GUI thread only.
    std::map<int, vec3> frame_centres_;
    // Pictures by the id that their frame_set holds; GUI thread only, like the GL context.
    // Pictures by frame number, of the frames of pictured_scene_, made in scene_round_ (which
    // tells results and paintings of an earlier scene from today's). GUI thread only.
    std::map<int, frame_picture> pictures_;
    const emitter* pictured_scene_ = nullptr;
    unsigned scene_round_ = 0;
    // Drops the pictures when the owner now shows another scene.
    void follow_scene();
    // Forgets every picture, deleting its GL objects when gl (the context current).
    void drop_pictures(bool gl);
    // Pictures that workers make and the GUI thread uploads (it guards itself), the ids with a
    // build under way, and the timer that looks for results meanwhile. GUI thread only.
    std::shared_ptr<picture_inbox> inbox_;
    std::set<int> building_;  // frame numbers
    QTimer picture_poll_;
    // Runs from the last camera or stroke move until the view counts as resting.
    QTimer motion_end_;
    // What the last paint drew of the current frame: the picture id and version drawn whole, and
    // the sample it drew while moving. GUI thread only.
    std::optional<std::pair<int, unsigned>> shown_whole_;  // frame number and version
    int shown_sample_ = 0;
    // A large frame's whole picture, drawn a slice a paint into colour and depth buffers of its
    // own once the view rests, so that no paint holds the GUI thread for all of it: the view and
    // picture version it holds, how many of the part that can show are in, and whether all are.
    // Once a painting is whole, a later version of its picture is painted again only around
    // the places it changed. GUI thread only.
    std::unique_ptr<QOpenGLFramebufferObject> whole_picture_;
    std::vector<double> whole_key_;
    unsigned whole_version_ = 0;
    size_t whole_done_ = 0;
    bool whole_complete_ = false;
    // A worker looks for the part of a picture that can show in the view. GUI thread only.
    bool finding_visible_ = false;
    // The onion skin's neighbours as last painted, and what they showed: the view, the sizes and
    // each neighbour's picture. Repaints that show the same reuse the painting. GUI thread only.
    std::unique_ptr<QOpenGLFramebufferObject> onion_picture_;
    std::vector<double> onion_key_;
};

}  // namespace kavrin
