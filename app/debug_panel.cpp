// The debug panel of the main window: the log, the build information and the four sliders of
// thread count, debug drawing, background work and particle size.
#include <QDockWidget>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QSlider>
#include <QTimeZone>
#include <QVBoxLayout>

#include "app/build_info.h"
#include "app/kavrin.h"
#include "app/scripts.h"
#include "base/strict.h"
#include "view/view3d.h"

namespace kavrin {

void kavrin::build_debug_panel() {
    auto* dock = new QDockWidget(" .... debug panel ....", this);
    dock->setObjectName(" .... debug panel ....");
    dock->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable |
                    QDockWidget::DockWidgetFloatable);
    addDockWidget(Qt::TopDockWidgetArea, dock);
    // Developer controls: out of the way unless asked for; the saved window state shows it
    // again for whoever left it open.
    dock->hide();
    debug_dock_ = dock;

    auto* body = new QWidget(dock);
    auto* row_of_two = new QHBoxLayout(body);
    row_of_two->setContentsMargins(6, 2, 6, 4);
    auto* rows_widget = new QWidget(body);
    auto* rows = new QVBoxLayout(rows_widget);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(2);
    log_view_ = new QPlainTextEdit(body);
    log_view_->setReadOnly(true);
    log_view_->setLineWrapMode(QPlainTextEdit::NoWrap);
    log_view_->setFocusPolicy(Qt::ClickFocus);
    host_.show_log_in(log_view_);
    row_of_two->addWidget(rows_widget);
    row_of_two->addWidget(log_view_, 1);
    dock->setWidget(body);
    body->setFixedHeight(118);

    log_build_information();

    struct row {
        const char* name;
        std::atomic<int>* field;
        int minimum, initial, maximum;
    };
    const row table[] = {
        {"cpu_count", &host_.cpu_count, 1, initial_cpu_count(core_count_), 12},
        {"show_debug", &display_.show_debug_level, 0, 0, 7},
        {"on_eat", &host_.on_eat, 0, 0, 1},
        {"particle_size", &display_.particle_size_value, 1, 20, 100},
    };
    for (const row& r : table) {
        *r.field = r.initial;
        auto* line = new QWidget(rows_widget);
        auto* layout = new QHBoxLayout(line);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(4);
        auto* name = new QLabel(r.name, line);
        name->setFixedWidth(100);
        auto* value = new QLabel(QString::number(r.initial), line);
        value->setFixedWidth(30);
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        auto* low = new QLabel(QString::number(r.minimum), line);
        low->setFixedWidth(30);
        low->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        auto* high = new QLabel(QString::number(r.maximum), line);
        high->setFixedWidth(30);
        auto* slider = new QSlider(Qt::Horizontal, line);
        slider->setObjectName(r.name);
        slider->setRange(r.minimum, r.maximum);
        slider->setValue(r.initial);
        slider->setFixedWidth(160);
        slider->setFocusPolicy(Qt::NoFocus);
        connect(slider, &QSlider::valueChanged, this, &kavrin::slider_event);
        sliders[slider] = {r.field, value};
        for (QWidget* w :
             {static_cast<QWidget*>(name), static_cast<QWidget*>(value), static_cast<QWidget*>(low),
              static_cast<QWidget*>(slider), static_cast<QWidget*>(high)})
            layout->addWidget(w);
        rows->addWidget(line);
    }
}

void kavrin::log_build_information() {
    build_date = build_stamp(__DATE__, __TIME__, QTimeZone::systemTimeZone());
    log("build date / " + build_date);
    log("revision / " + release_.revision);
    const QLocale locale = QLocale::system();
    country = QLocale::territoryToString(locale.territory());
    log("country / " + country);
    language = QLocale::languageToString(locale.language());
    log("language / " + language);
    core_count_ = scripts::core_count(*this);
    const double gib = system_total_memory() / (1024.0 * 1024.0 * 1024.0);
    log("physical memory / " + QString::number(gib, 'g', 6));
}

void kavrin::slider_event(int value) {
    slider_entry& entry = strict_at(sliders, qobject_cast<QSlider*>(sender()), "the debug sliders");
    entry.value->setText(QString::number(value));
    *entry.field = value;
    if (host_.stepping && scene_) {
        for (auto& [number, fs] : scene_->frames)
            fs.touched = true;
        if (viewport_) viewport_->update();
    }
}

}  // namespace kavrin
