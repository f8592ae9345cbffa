#pragma once
// The main window's side of the scene: the window link that the emitter and its workers call.
// It keeps the debug log and its view, the random source, the cache files' reading and writing
// and the scene's work state; the window owns it and tells it which widgets to report to.

#include <atomic>
#include <optional>
#include <random>

#include <QString>
#include <QStringList>

#include "base/first_kept.h"
#include "base/mutex.h"
#include "scene/window_link.h"

class QObject;
class QPlainTextEdit;

namespace kavrin {

class brush;
class status_line;
class view3d;

class scene_host : public window_link {
  public:
    // The application folder and the script folder (ending with "/"), and the log file. The
    // widgets that the host reports to live on gui's thread.
    scene_host(QObject& gui, const QString& app_dir, const QString& python_dir,
               const QString& debug_txt);

    // The widgets the host reads and reports to, once the window has built them; null ones are
    // left out. GUI thread, before scene work starts.
    void attach(const class brush* tool, view3d* viewport, status_line* status);
    // Lines the log view keeps: the file is the record, the view shows its tail.
    static constexpr int log_view_lines = 2000;
    // Shows the tail of the log file in view, which from then on follows the log.
    void show_log_in(QPlainTextEdit* view);
    // Moves the lines logged since the last call into the log view. GUI thread.
    void refresh_log_view();
    // Lines were logged that the view does not show yet.
    bool log_stale() const { return log_dirty_; }

    // The scene's generator starts again from seed.
    void reseed(unsigned seed);
    // A recovery replays its steps with these brush and camera values instead of the widgets';
    // end_replay gives the widgets back. Set between steps, never while one runs.
    void replay_inputs(const brush_values& b, const camera_values& c);
    void end_replay();
    // The first job failure since forget_failure, if any.
    std::optional<job_failure> first_failure() const { return job_failure_.get(); }
    void forget_failure() { job_failure_.clear(); }
    // Cache frames that could not be written since the count was last reset.
    int save_failures() const { return save_failures_; }
    void reset_save_failures() { save_failures_ = 0; }

    // The side panel waits for scene work to end: set when a scene, a save or a propagation
    // starts, cleared once the scene has no work left. Atomic: tests read it from any thread.
    std::atomic<bool> panel_busy{false};
    // The viewport and the timeline are redrawn at the next tick; set from any thread.
    std::atomic<bool> redraw_needed{false};

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

  private:
    QObject& gui_;
    const QString app_dir_, python_dir_, debug_txt_;
    // Widgets, set on the GUI thread before any scene exists and only read after.
    const class brush* tool_ = nullptr;
    view3d* viewport_ = nullptr;
    status_line* status_ = nullptr;
    QPlainTextEdit* log_view_ = nullptr;  // written to on the GUI thread only

    // Brush and camera values of the step a recovery replays. Set between steps, never while a
    // step runs, so no lock guards them.
    std::optional<brush_values> replay_brush_;
    std::optional<camera_values> replay_camera_;

    mutable mutex log_lock_;  // guards appends to the log file and log_pending_
    QStringList log_pending_ KAVRIN_GUARDED_BY(log_lock_);  // lines the view has not taken yet
    first_kept<job_failure> job_failure_;                   // the first since forget_failure
    std::atomic<bool> log_dirty_{false};  // set by any thread's log, cleared by the view refresh
    std::atomic<int> save_failures_{0};   // counted on the workers that write the frames

    mutex random_lock_;  // guards the generator: workers draw from it
    std::mt19937 generator_ KAVRIN_GUARDED_BY(random_lock_);
    std::uniform_real_distribution<double> uniform_{0.1, 1.0};
};

}  // namespace kavrin
