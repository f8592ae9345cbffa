#include "app/brush_fields.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLabel>
#include <QTimer>

#include "app/kavrin.h"
#include "view/brush.h"
#include "view/view3d.h"

namespace kavrin {

brush_fields::brush_fields(kavrin& window, QWidget* parent) : QWidget(parent), window_(window) {
    setObjectName("brush_fields");
    setStyleSheet(
        "QLabel{color: #FFFFFF} QDoubleSpinBox, QComboBox{background-color: #F3EDD9; "
        "color: #000000}");
    auto* form = new QFormLayout(this);
    form->setContentsMargins(4, 4, 4, 0);
    form->setSpacing(3);
    space_ = field("brush_space", 0.01, 100000.0, 3, 0.005,
                   "Brush radius as a share of its distance (keys [ and ], R)");
    power_ = field("brush_power", 0.01, 1.0, 2, 0.05, "Brush strength (Shift+R)");
    time_ = field("brush_time", 0.0001, 10000.0, 1, 1.0,
                  "Frames the stroke reaches on each side (middle drag on the timeline)");
    falloff_ = new QComboBox(this);
    falloff_->setObjectName("brush_falloff");
    for (const falloff& f : falloffs())
        falloff_->addItem(f.name, f.curve);
    falloff_->setToolTip("How the brush's weight eases from its edge to its centre");
    form->addRow("Space", space_);
    form->addRow("Power", power_);
    form->addRow("Time", time_);
    form->addRow("Falloff", falloff_);

    connect(space_, &QDoubleSpinBox::editingFinished, this, [this] {
        brush& b = window_.tool_brush();
        b.set_space(clamped_space(float(space_->value()), window_.viewport().camera().focal_mag));
        window_.log("brush size space / " + QString::number(b.space(), 'g', 6));
        window_.viewport().update();
    });
    connect(power_, &QDoubleSpinBox::editingFinished, this, [this] {
        window_.tool_brush().set_power(float(power_->value()));
        window_.log("brush power / " + QString::number(window_.tool_brush().power(), 'g', 6));
        window_.viewport().update();
    });
    connect(time_, &QDoubleSpinBox::editingFinished, this, [this] {
        window_.tool_brush().set_time(float(time_->value()));
        window_.log("brush size time / " + QString::number(window_.tool_brush().time(), 'g', 6));
        window_.display().redraw_timeline();
    });
    connect(falloff_, &QComboBox::activated, this, [this](int i) {
        window_.tool_brush().set_select_curve(falloff_->itemData(i).toInt());
        window_.log("brush falloff / " + falloff_->itemText(i));
    });
    // The brush changes in many places (drags, keys, the ring, the settings): the fields look.
    auto* follow = new QTimer(this);
    connect(follow, &QTimer::timeout, this, &brush_fields::refresh);
    follow->start(200);
    refresh();
}

QDoubleSpinBox* brush_fields::field(const char* name, double low, double high, int decimals,
                                    double step, const QString& tip) {
    auto* f = new QDoubleSpinBox(this);
    f->setObjectName(name);
    f->setRange(low, high);
    f->setDecimals(decimals);
    f->setSingleStep(step);
    f->setKeyboardTracking(false);
    // Typed, or stepped with the arrow keys and the wheel: the panel is too narrow for buttons.
    f->setButtonSymbols(QAbstractSpinBox::NoButtons);
    f->setToolTip(tip);
    return f;
}

void brush_fields::refresh() {
    const brush_values v = window_.tool_brush().values();
    const std::pair<QDoubleSpinBox*, float> shown[] = {
        {space_, v.space}, {power_, v.power}, {time_, v.time}};
    for (const auto& [f, value] : shown)
        if (!f->hasFocus()) f->setValue(value);
    const int i = falloff_->findData(v.select_curve);
    if (i >= 0 && !falloff_->hasFocus()) falloff_->setCurrentIndex(i);
}

}  // namespace kavrin
