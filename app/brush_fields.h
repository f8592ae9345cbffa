#pragma once
// The brush's numbers in the side panel: space, power and time as fields, and the falloff across
// the brush as a choice. They follow the brush as drags, keys and the ring change it.

#include <QWidget>

class QComboBox;
class QDoubleSpinBox;

namespace kavrin {

class kavrin;

class brush_fields : public QWidget {
    Q_OBJECT
  public:
    explicit brush_fields(kavrin& window, QWidget* parent = nullptr);

    // Shows the brush's values; a field the artist is typing into keeps what is typed.
    void refresh();

  private:
    QDoubleSpinBox* field(const char* name, double low, double high, int decimals, double step,
                          const QString& tip);

    kavrin& window_;
    QDoubleSpinBox* space_ = nullptr;
    QDoubleSpinBox* power_ = nullptr;
    QDoubleSpinBox* time_ = nullptr;
    QComboBox* falloff_ = nullptr;
};

}  // namespace kavrin
