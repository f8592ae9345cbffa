#pragma once
// The strip of frame ticks under the viewport: the current frame's marker, the state of every
// frame and the brush's reach in time.

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

    // Frame under pixel x.
    int frame_at(float x) const;
    // Rebuilds the drawing; false (and nothing changed) when the view would show more than
    // 5000 frames or more than 100 pixels a frame.
    bool redraw();

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    view_owner& owner_;
    QGraphicsScene scene_;
    QGraphicsItemGroup* group_ = nullptr;  // owned by scene_
};

}  // namespace kavrin
