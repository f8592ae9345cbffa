#pragma once
// The line under the viewport: the frame and the brush as they are now, the particles of the
// frame, and what the background work is doing, with a progress bar while a scene is built,
// loaded or saved, or while a download whose size is known runs. The window's frame timer
// refreshes it; it reads atomics and try-locks only, so it never waits for a worker.

#include <cstdint>

#include <QString>
#include <QStringList>
#include <QWidget>

class QLabel;
class QListWidget;
class QProgressBar;
class QTimer;
class QToolButton;

namespace kavrin {

class emitter;
class kavrin;

// What the background work of a scene is doing: a text, and the frames done of a total when
// there is progress to show (total 0 otherwise).
struct background_state {
    QString text = "idle";
    int done = 0;
    int total = 0;
};

// The state of e's background work. save_total is the number of frames of the save under way;
// downloading says that a download chain runs.
background_state background_of(const emitter& e, int save_total, bool downloading);

class status_line : public QWidget {
    Q_OBJECT
  public:
    status_line(kavrin& window, QWidget* parent);

    // Reads the window, the brush and the scene again.
    void refresh();

    // What the line shows: the frame and brush facts, the background state and, when one is
    // due, the note on the brush.
    QString facts() const;
    QString background() const;
    QString note() const;
    // The progress bar, shown only while there is progress to show.
    const QProgressBar& progress() const { return *progress_; }

    // A result or a problem for the artist: shown in the message area for a few seconds and
    // kept in the history. GUI thread.
    void show_message(const QString& message);
    // The message shown now (empty once it has timed out), and every message so far, oldest
    // first, each with the time it came.
    QString message() const;
    const QStringList& history() const { return history_; }
    // The popup that lists the history; opened by the history button.
    QListWidget& history_popup() { return *popup_; }
    static constexpr int message_ms = 6000;
    // A control of the window's own, placed before the history button.
    void add_control(QWidget* control);
    static constexpr int history_size = 200;

  private:
    kavrin& window_;
    QLabel* facts_;
    QLabel* note_;
    QLabel* background_;
    QProgressBar* progress_;
    QLabel* message_;
    QToolButton* history_button_;
    QListWidget* popup_;
    QTimer* message_timer_;
    QStringList history_;
    // The live count last made, of which frame after how many of its steps. GUI thread only.
    struct live_count {
        int frame = -1;
        uint32_t steps = 0;
        QString text;
    } live_count_;
};

}  // namespace kavrin
