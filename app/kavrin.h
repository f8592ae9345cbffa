#pragma once
// The main window: owns the scene's emitter, the brush, the viewport and the timeline, runs the
// frame timer that plays and ticks the scene and acts on the artist's keys and buttons. The
// scene's host (log, random source, cache files) and the viewport's owner (display state) are
// objects of their own that the window holds.

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>

#include "app/autosave.h"
#include "app/scene_flows.h"
#include "app/scene_host.h"
#include "app/window_view.h"
#include "base/mutex.h"
#include "exchange/script_bridge.h"
#include "scene/emitter.h"

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
class status_line;
class timeline;
class transfer;
class view3d;

// The folders and files of the application folder; folders end with "/".
struct window_paths {
    QString app_dir, resource_dir, image_dir, python_dir, tool_ini, default_ini, debug_txt;
    QString samples_dir;

    // Those of the running program.
    static window_paths of_application();
};

// The program's revision, the newest one the download server offers (the update flow sets it),
// and the server's folders (relative, ending with "/").
struct release_info {
    QString revision = "0022";
    QString latest = revision;
    QString package_folder = "package/";
    QString revision_folder = package_folder + revision + "/";
    QString web_folder = "web/";
};

class kavrin : public QMainWindow {
    Q_OBJECT
  public:
    kavrin();
    ~kavrin() override;

    const window_paths& paths() const { return paths_; }
    // The scene's host and the viewport's owner.
    scene_host& link() { return host_; }
    const scene_host& link() const { return host_; }
    window_view& display() { return display_; }
    const window_view& display() const { return display_; }
    // Appends one line to the debug log; tells the artist a result. Callable from any thread.
    void log(const QString& line) { host_.log(line); }
    void tell(const QString& message) { host_.tell(message); }

    // The rest of the window, the accessors below included, is the GUI thread's alone.
    const bool is_online = true;   // the download server may be asked
    const bool is_release = true;  // no context menus, and the script library's release cleanup
    // Processor cores, as the script library counted them at the start.
    int core_count() const { return core_count_; }

    // The program's revision and the server's folders; only the newest revision changes, when
    // the update flow learns it from the server.
    const release_info& release() const { return release_; }
    void set_latest_release(const QString& revision) { release_.latest = revision; }
    // What the FBX imports brought and the scale they are shown at.
    fbx_imports& fbx() { return fbx_; }
    const fbx_imports& fbx() const { return fbx_; }

    // The current emitter; null before startup, while start_scene replaces it (nothing else
    // does) and once the window has closed. Its workers reach it through their jobs.
    emitter* scene() const { return scene_.get(); }

    // The window's widgets: the brush is made with the window, the others by startup(), which
    // must have built the window before they are asked for. Their Qt parents own them.
    brush& tool_brush() const { return *tool_brush_; }
    view3d& viewport() const { return *viewport_; }
    timeline& strip() const { return *strip_; }
    shelf_area& shelf() const { return *shelf_; }  // the side panel
    status_line& status() const { return *status_; }
    QPlainTextEdit& log_view() const { return *log_view_; }
    // Hidden until the artist asks for it (View menu, F12).
    QDockWidget& debug_dock() const { return *debug_dock_; }
    // The timeline button "left", "right" or "start"; another name throws std::out_of_range.
    QPushButton& timeline_button(const std::string& name) const;

    // One file dialog at a time: the hold owns the dialog lock only when no other dialog has it.
    std::unique_lock<mutex> try_hold_dialogs() {
        return std::unique_lock<mutex>(dialog_lock_, std::try_to_lock);
    }

    bool startup();

    // Replaces the emitter by a new one and builds it: the old one is freed only after its
    // workers have ended, and the timer does not tick while none is ready. A fountain emits
    // from the given seed, or from a fresh one. The current frame is kept when the new scene
    // has it, else it becomes the nearest frame of the new scene.
    void start_scene(bool from_cache, std::optional<unsigned> seed = {});

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
    // The frame that playback counts from on the play clock.
    int play_origin() const { return play_base; }
    // Sets the keys to the modifiers held; a change of "ctrl" or "shift" updates the brush
    // direction and the cursor on a shown frame at once.
    void refresh_keys(Qt::KeyboardModifiers modifiers);

    // Runs work (calls to the download server) off the GUI thread and then done on it. With a
    // label, a dialog shows the progress with a Cancel button meanwhile. One chain at a time:
    // false, and nothing run, while another is under way.
    bool run_transfer(const QString& label, std::function<void(transfer_control&)> work,
                      std::function<void()> done);
    // The chain under way, or null.
    transfer* current_transfer() const { return transfer_.get(); }

  public Q_SLOTS:
    void frame_anim();
    void focus(QWidget* old, QWidget* now);
    void time_event(bool checked);
    void slider_event(int value);

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
    QPushButton* build_timeline_button(const QString& name);
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
    void end_transfer();
    void abandon_transfer();

    // The window's own state is the GUI thread's alone; the host and the view say what their
    // fields share and how.
    release_info release_;
    fbx_imports fbx_;
    std::unordered_map<std::string, QPushButton*> buttons_;  // the timeline buttons by name
    mutex dialog_lock_;                                      // one file dialog at a time
    std::unique_ptr<emitter> scene_;
    view3d* viewport_ = nullptr;
    timeline* strip_ = nullptr;
    brush* tool_brush_ = nullptr;
    shelf_area* shelf_ = nullptr;
    status_line* status_ = nullptr;
    QPlainTextEdit* log_view_ = nullptr;
    QDockWidget* debug_dock_ = nullptr;
    scene_source source_;  // what the current scene was made from
    struct slider_entry {
        std::atomic<int>* field;
        QLabel* value;
    };
    std::map<QSlider*, slider_entry> sliders;

    // Found at the start and logged.
    QString build_date, country, language;
    int core_count_ = 1;
    // The host and the view are built from the paths.
    const window_paths paths_;
    scene_host host_;
    window_view display_;
    bool settings_dirty = true;                   // the tool settings are loaded at the next tick
    mutex settings_lock;  // held while the tool settings are loaded
    int play_base = 0;  // the frame that playback counts from on the play clock
    QElapsedTimer play_clock;
    // The record count that the last save (or the scene's start) covered, and whether the
    // record changed since the last autosave.
    size_t saved_events_ = 0;
    bool autosave_due = false;
    // The save under way, told when it ends: its folder and frame count (the frames that could
    // not be written are the host's count).
    QString save_folder_;
    int save_frames_ = 0;
    // The autosave found at start, offered once the window shows.
    std::optional<autosave> found_autosave_;
    QTimer* frame_timer = nullptr;
    std::unique_ptr<transfer> transfer_;  // the download chain under way
    QProgressDialog* transfer_progress_ = nullptr;
};

}  // namespace kavrin
