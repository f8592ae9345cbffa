#include "app/scene_host.h"

#include <ctime>

#include <QFile>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QThread>

#include "app/status_line.h"
#include "exchange/cache_link.h"
#include "view/brush.h"
#include "view/view3d.h"

namespace kavrin {

scene_host::scene_host(QObject& gui, const QString& app_dir, const QString& python_dir,
                       const QString& debug_txt)
    : gui_(gui),
      app_dir_(app_dir),
      python_dir_(python_dir),
      debug_txt_(debug_txt),
      generator_(std::mt19937::result_type(std::time(nullptr))) {
    stepping = false;
}

void scene_host::attach(const class brush* tool, view3d* viewport, status_line* status) {
    if (tool) tool_ = tool;
    if (viewport) viewport_ = viewport;
    if (status) status_ = status;
}

// ---- Log ----

void scene_host::log(const QString& line) {
    {
        mutex_hold hold(log_lock_);
        QFile file(debug_txt_);
        if (!file.open(QIODevice::Append)) return;  // a log that cannot be opened loses the line
        file.write((line + "\r\n").toUtf8());
        log_pending_ << line;
        // Lines that no view will show are not kept: the view holds only the tail.
        if (log_pending_.size() > log_view_lines)
            log_pending_.erase(log_pending_.begin(), log_pending_.end() - log_view_lines);
        log_dirty_ = true;
    }
    // On the GUI thread the view shows the line at once; workers' lines wait for the next tick.
    if (log_view_ && QThread::currentThread() == gui_.thread()) refresh_log_view();
}

void scene_host::job_failed(const job_failure& failure) {
    job_failure_.keep(failure);
    window_link::job_failed(failure);
}

void scene_host::refresh_log_view() {
    QStringList lines;
    {
        mutex_hold hold(log_lock_);
        lines.swap(log_pending_);
        log_dirty_ = false;
    }
    if (!log_view_ || lines.isEmpty()) return;
    // Appended, never re-read: a line costs the same whatever the size of the file, and the
    // plain-text view drops its oldest lines beyond its block limit.
    for (const QString& line : lines)
        log_view_->appendPlainText(line);
    QScrollBar* bar = log_view_->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void scene_host::show_log_in(QPlainTextEdit* view) {
    log_view_ = view;
    // The view starts with the tail of the file: the lines of earlier runs and of this start.
    QByteArray tail;
    {
        mutex_hold hold(log_lock_);
        QFile file(debug_txt_);
        if (file.open(QIODevice::ReadOnly)) {
            const qint64 keep = 256 * 1024;
            if (file.size() > keep) file.seek(file.size() - keep);
            tail = file.readAll();
        }
        log_pending_.clear();
        log_dirty_ = false;
    }
    QStringList lines = QString::fromUtf8(tail).split("\r\n");
    if (tail.size() == 256 * 1024 && !lines.isEmpty()) lines.removeFirst();  // cut mid-line
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    if (lines.size() > log_view_lines) lines.erase(lines.begin(), lines.end() - log_view_lines);
    view->setMaximumBlockCount(log_view_lines);
    view->setPlainText(lines.join('\n'));
    view->moveCursor(QTextCursor::End);
}

void scene_host::tell(const QString& message) {
    if (QThread::currentThread() != gui_.thread()) {
        // Queued to the GUI thread; dropped if the window is gone by then.
        QMetaObject::invokeMethod(
            &gui_, [this, message] { tell(message); }, Qt::QueuedConnection);
        return;
    }
    if (status_) status_->show_message(message);
}

// ---- Inputs, random source and cache files ----

brush_values scene_host::brush() const {
    if (replay_brush_) return *replay_brush_;
    return tool_ ? tool_->values() : brush_values();
}

camera_values scene_host::camera() const {
    if (replay_camera_) return *replay_camera_;
    return viewport_ ? viewport_->camera_snapshot() : camera_values();
}

void scene_host::replay_inputs(const brush_values& b, const camera_values& c) {
    replay_brush_ = b;
    replay_camera_ = c;
}

void scene_host::end_replay() {
    replay_brush_.reset();
    replay_camera_.reset();
}

double scene_host::random() {
    mutex_hold hold(random_lock_);
    return uniform_(generator_);
}

void scene_host::reseed(unsigned seed) {
    mutex_hold hold(random_lock_);
    generator_.seed(seed);
}

void scene_host::write_cache_frame(emitter& e, int frame) {
    if (::kavrin::write_cache_frame(script_folders{app_dir_, python_dir_}, *this, e, frame))
        ++save_failures_;
}

void scene_host::read_cache_frame(emitter& e, int frame) {
    ::kavrin::read_cache_frame(script_folders{app_dir_, python_dir_}, *this, e, frame);
}

void scene_host::scene_closing() {
    if (viewport_) viewport_->release_pictures();
}

}  // namespace kavrin
