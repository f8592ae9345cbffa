#pragma once
// The main window: owns the scene's emitter, the brush, the viewport and the timeline, runs the
// frame timer that plays and ticks the scene, keeps the debug log, and offers the emitter's
// workers the window link and the viewport its owner.

#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <QElapsedTimer>
#include <QMainWindow>
#include <QMutex>
#include <QString>
#include <QStringList>

#include "app/autosave.h"
#include "app/scene_flows.h"
#include "scene/emitter.h"
#include "scene/window_link.h"
#include "exchange/script_bridge.h"
#include "view/view_owner.h"

class QDockWidget;
class QLabel;
class QProgressDialog;
class QPushButton;
class QSlider;
class QPlainTextEdit;
class QTimer;

namespace kavrin {

class brush;
class shelf_area;
class timeline;
class transfer;
class view3d;

class kavrin : public QMainWindow, public window_link, public view_owner {
    Q_OBJECT
  public:
    kavrin();
    ~kavrin() override;

    // Folders end with "/".
    const QString revision = "0022";
    QString latest_revision = revision;
    QString app_dir, resource_dir, image_dir, python_dir, tool_ini, default_ini, debug_txt;
    QString samples_dir;
    // Relative folders on the download server.
    QString package_folder = "package/";
    QString revision_folder = package_folder + revision + "/";
    QString web_folder = "web/";
    QString build_date, country, language;

    bool is_online = true;
    bool is_release = true;
    int core_count = 1;
    bool playing_now = false;  // the "start" button is checked
    bool settings_dirty = true;
    int play_base = 0;
    QElapsedTimer play_clock;

    // Debug panel values that only the GUI thread reads; cpu_count and on_eat are the link's.
    std::atomic<int> show_debug_level{0};
    std::atomic<int> particle_size_value{20};

    // Checked states of the side panel's display toggles, kept by the panel's buttons.
    std::unordered_map<std::string, bool> toggles{
        {"camera_animation", false}, {"geometry_visible", false}, {"camera_guide", true},
        {"cache_display", false},    {"cache_onion_skin", false}, {"brush_mirror", false}};
    // Neighbours the onion skin shows on each side while it is on (tool settings, 1 to 5).
    int onion_count = 2;
    // FBX imports done, by kind.
    std::unordered_map<std::string, bool> imports{{"camera", false}, {"geometry", false}};
    // What they brought, as read; shown at fbx_scale, the scene units per centimetre that the
    // scene unit gives unless the artist typed another (tool settings). GUI thread only.
    fbx_imports fbx;
    QString scene_unit = "cm";
    float fbx_scale = 1.0f;

    // Timeline buttons "left", "right", "start".
    std::unordered_map<std::string, QPushButton*> buttons;

    const std::shared_ptr<QMutex> settings_lock;  // held while the tool settings are loaded
    QMutex dialog_lock;                           // one file dialog at a time

    std::unique_ptr<emitter> scene;  // the current emitter
    view3d* viewport = nullptr;
    class timeline* strip = nullptr;
    class brush* tool_brush = nullptr;
    shelf_area* shelf = nullptr;  // the side panel
    class status_line* status = nullptr;
    QPlainTextEdit* log_view = nullptr;
    QDockWidget* debug_dock = nullptr;  // hidden until the artist asks for it (View menu, F12)

    bool startup();

    // Replaces the emitter by a new one and builds it: the old one is freed only after its
    // workers have ended, and the timer does not tick while none is ready. A fountain emits
    // from the given seed, or from a fresh one. The current frame is kept when the new scene
    // has it, else it becomes the nearest frame of the new scene.
    void start_scene(bool from_cache, std::optional<unsigned> seed = {});
    // What the current scene was made from.
    scene_source source;

    // Strokes, undos and redos made since the scene was opened or last saved.
    bool unsaved() const;
    // The scene's record as it is now has been saved (with a cache, or alone).
    void mark_saved();
    // Before an action that replaces the scene or ends the program: with unsaved strokes, asks
    // whether to save them first, discard them or cancel; false for cancel (or a save that did
    // not happen), when the action must not go on.
    bool keep_work(const QString& action);
    // A cache save into folder of that many frames has started; its end is told.
    void save_started(const QString& folder, int frames);
    // Writes the autosave now when the scene's record changed since the last one.
    void write_autosave_now();
    // The autosave of a session that did not close: offered for replay onto its source.
    void offer_recovery();
    // Rebuilds the autosave's source and replays its events; false (told) when it stopped.
    bool recover(const autosave& saved);
    // A modal question with the given buttons; the button chosen. The box carries name as its
    // object name.
    int ask(const QString& name, const QString& title, const QString& text, int buttons,
            int default_button);

    // Tool settings: read from tool.ini (default.ini where it is missing or empty), written back
    // to tool.ini.
    void load_settings();
    void save_settings();
    // The side panel chose a brush type: the brush takes it with a fresh vector.
    void set_brush_type(brush_kind type);
    void reset_camera();

    // "current" (moves the timeline with it), "maximum" or "minimum"; other names do nothing.
    void set_frame(const QString& name, int value);
    // The user picked a frame on the timeline: playback continues from there.
    void change_frame(int value);
    // One play step for the given time on the play clock.
    void play_to(qint64 elapsed_ms);
    // Sets key_map to the modifiers held; a change of "ctrl" or "shift" updates the brush
    // direction and the cursor on a shown frame at once.
    void refresh_keys(Qt::KeyboardModifiers modifiers);
    // Moves the lines logged since the last call into the log view.
    void refresh_log_view();

    // Runs work (calls to the download server) off the GUI thread and then done on it. With a
    // label, a dialog shows the progress with a Cancel button meanwhile. One chain at a time:
    // false, and nothing run, while another is under way.
    bool run_transfer(const QString& label, std::function<void(transfer_control&)> work,
                      std::function<void()> done);
    // The chain under way, or null.
    transfer* current_transfer() const { return transfer_.get(); }

    // Window link.
    brush_values brush() const override;
    camera_values camera() const override;
    void log(const QString& line) override;
    // Keeps the first failure of a recovery's replay, then logs it.
    void job_failed(const job_failure& failure) override;
    // Shows the message in the status line's message area; from a worker it is queued to the
    // GUI thread.
    void tell(const QString& message) override;
    double random() override;
    void write_cache_frame(emitter& e, int frame) override;
    void read_cache_frame(emitter& e, int frame) override;
    void scene_closing() override;
    void work_started() override { panel_busy = true; }
    void work_ended() override { panel_busy = false; }
    void frame_changed() override { redraw_needed = true; }

    // View owner.
    window_link& link() override { return *this; }
    emitter* active_scene() const override { return scene.get(); }
    class brush& tool() override {
        return *tool_brush;
    }
    bool toggle(const std::string& name) const override;
    bool imported(const std::string& kind) const override;
    bool playing() const override { return playing_now; }
    stroke_buttons held_buttons() const override { return buttons_; }
    void set_held_buttons(const stroke_buttons& buttons) { buttons_ = buttons; }
    int show_debug() const override { return show_debug_level; }
    int particle_size() const override { return particle_size_value; }
    bool camera_mode() const override { return camera_mode_; }
    void set_camera_mode(bool on) override { camera_mode_ = on; }
    void redraw_timeline() override;
    int onion_frames() const override;
    void scene_edited() override { autosave_due = true; }
    bool middle_navigates() const override { return middle_navigation; }
    void redraw_soon() override { redraw_needed = true; }
    // The side panel waits for scene work to end: set when a scene, a save or a propagation
    // starts, cleared once the scene has no work left. Atomic: tests read it from any thread.
    std::atomic<bool> panel_busy{false};
    // The viewport and the timeline are redrawn at the next tick; set from any thread.
    std::atomic<bool> redraw_needed{false};
    // Tool settings: the middle button steers the camera.
    bool middle_navigation = true;

  public Q_SLOTS:
    void frame_anim();
    void focus(QWidget* old, QWidget* now);
    void time_event(bool checked);
    void slider_event(int value);

  public:
    // Lines the log view keeps: the file is the record, the view shows its tail.
    static constexpr int log_view_lines = 2000;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void build_window();
    void build_debug_panel();
    // The View menu (the debug panel) and the display popup of the status line (point size,
    // onion frames).
    void build_view_controls();
    void log_build_information();
    QPushButton* timeline_button(const QString& name);
    void modifier_event(QKeyEvent* event);
    // The window's keys, offered every key press in the window whichever widget has the focus;
    // true when the key is one of them (done or refused), so that no widget acts on it too.
    bool shortcut(QObject* receiver, QKeyEvent* event);
    bool editing_key(QKeyEvent* event);
    bool plain_key(QKeyEvent* event);
    // Left, Right, Home, End: the frame to show, refused mid-stroke or mid-drag.
    void frame_key(int key);
    // The frame shown can take an edit (undo, redo) now.
    bool frame_editable() const;
    void fill_log_view();
    void end_transfer();
    void abandon_transfer();

    struct slider_entry {
        std::atomic<int>* field;
        QLabel* value;
    };
    std::map<QSlider*, slider_entry> sliders;

    bool camera_mode_ = false;
    stroke_buttons buttons_;  // kept by the panel's and the timeline's buttons; GUI thread only
    // The record count that the last save (or the scene's start) covered, and whether the
    // record changed since the last autosave. GUI thread only.
    size_t saved_events_ = 0;
    bool autosave_due = false;
    // Brush and camera values of the step a recovery replays. Set between steps, never while a
    // step runs, so no lock guards them.
    std::optional<brush_values> replay_brush_;
    std::optional<camera_values> replay_camera_;
    std::optional<job_failure> job_failure_;  // the first since a recovery began; log_lock
    // The save under way, told when it ends: its folder and frame count, and the frames whose
    // file could not be written (counted on the workers).
    QString save_folder_;
    int save_frames_ = 0;
    std::atomic<int> save_failures_{0};
    // The autosave found at start, offered once the window shows.
    std::optional<autosave> found_autosave_;
    QTimer* frame_timer = nullptr;
    std::atomic<bool> log_dirty{false};   // set by any thread's log, cleared by the view refresh
    QMutex log_lock;                      // guards appends to debug_txt and log_pending
    QStringList log_pending;              // lines logged since the view last took them
    std::unique_ptr<transfer> transfer_;  // the download chain under way; GUI thread only
    QProgressDialog* transfer_progress_ = nullptr;
    QMutex random_lock;  // guards the generator
    std::mt19937 generator;
    std::uniform_real_distribution<double> uniform{0.1, 1.0};
};

}  // namespace kavrin
