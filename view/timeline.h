#pragma once
// The strip of frame ticks under the viewport: the current frame's marker, the state of every
// frame and the brush's reach in time. Left drags scrub frames, middle drags stretch the brush
// in time; with Alt, middle drags pan and right drags zoom the strip.

#include <vector>

#include <QGraphicsView>

namespace kavrin {

class view_owner;

class timeline : public QGraphicsView {
    Q_OBJECT
  public:
    explicit timeline(view_owner& owner, QWidget* parent = nullptr);

    float offset = 0.0f;  // x in pixels of the current frame's marker
    float scale = 10.0f;  // pixels per frame
    bool show_frame_number = false;
    // The strip shows the scene's frames across its whole width, whatever its size; an Alt
    // zoom or pan of the user's own ends it until the next fit.
    bool fitted = false;

    // Frame under pixel x.
    int frame_at(float x) const;
    // Rebuilds the drawing; false (and nothing changed) when the view would show more than
    // 5000 frames or more than 100 pixels a frame.
    bool redraw();
    // Fits the scene's frames to the width from now on.
    void fit();
    // Pans the strip, unless fitted, so that the current frame's marker is on it.
    void follow();

    // A frame number written over its tick, and where it stands on the strip.
    struct frame_label {
        int frame;
        QRectF rect;
    };
    // The frame numbers of the last redraw.
    const std::vector<frame_label>& labels() const { return labels_; }

  Q_SIGNALS:
    // The user scrubbed to a frame; the window makes it current (and moves the marker there).
    void frame_change(int frame);

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    void button(QMouseEvent* event, bool pressed);
    void add_labels(float width, const QRectF& keep_clear);

    view_owner& owner_;
    float last_x_ = 0.0f;                          // x of the last press or drag step
    bool zoom_held_ = false, pan_held_ = false;    // Alt + right, Alt + middle
    bool time_held_ = false, scrub_held_ = false;  // middle, left
    QGraphicsScene scene_;
    QGraphicsItemGroup* group_ = nullptr;  // owned by scene_
    std::vector<frame_label> labels_;
};

}  // namespace kavrin
