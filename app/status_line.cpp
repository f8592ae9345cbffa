#include "app/status_line.h"

#include <algorithm>
#include <mutex>

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QTime>
#include <QTimer>
#include <QToolButton>

#include "app/kavrin.h"
#include "app/transfer.h"
#include "scene/emitter.h"
#include "view/brush.h"
#include "view/view3d.h"

namespace kavrin {

namespace {

QString number(float v) {
    return QString::number(v, 'g', 3);
}

}  // namespace

background_state background_of(const emitter& e, int save_total, bool downloading) {
    using activity = scene_progress::activity;
    background_state s;
    const scene_progress p = e.progress();
    if (p.what == activity::building) {
        s.total = p.total;
        s.done = p.done;
        s.text = e.from_cache ? "loading" : "building";
    } else if (p.what == activity::saving) {
        s.total = std::max(save_total, p.left());
        s.done = s.total - p.left();
        s.text = "saving";
    } else if (downloading) {
        s.text = "downloading";
    } else if (p.what == activity::spreading_stroke) {
        s.text = "spreading stroke";
    } else if (p.what == activity::reverting_undo || p.what == activity::redoing) {
        s.text = p.what == activity::reverting_undo ? "reverting undo" : "redoing";
    }
    if (s.total > 0) s.text += " " + QString::number(s.done) + "/" + QString::number(s.total);
    return s;
}

status_line::status_line(kavrin& window, QWidget* parent) : QWidget(parent), window_(window) {
    setObjectName("status_line");
    setFixedHeight(22);
    setStyleSheet(
        "QWidget#status_line{ background-color: #E6E6E6; border-top: 1px solid #C8C8C8; }"
        "QLabel{ color: #333333; background-color: transparent; }"
        "QLabel#status_note{ color: #A04000; }"
        "QLabel#status_message{ color: #FFFFFF; background-color: #4A5A78; border-radius: 3px;"
        " padding: 0px 6px; }"
        "QToolButton{ color: #333333; border: 1px solid #B0B0B0; border-radius: 3px;"
        " padding: 0px 4px; background-color: #F0F0F0; }"
        "QProgressBar{ border: 1px solid #9A9A9A; border-radius: 2px; background-color: #F4F4F4;"
        " height: 12px; }"
        "QProgressBar::chunk{ background-color: #E0A020; }");
    setAttribute(Qt::WA_StyledBackground);
    setToolTip(
        "Keys: Space play/stop, Left/Right previous/next frame, Home/End first/last frame, "
        "[ ] brush space down/up, 1-5 brush type, F frame the particles, O onion skin, "
        "M mirror brush, Ctrl+Z undo, Ctrl+Shift+Z or Ctrl+Y redo, Esc cancel the stroke");
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 0, 8, 0);
    row->setSpacing(12);
    facts_ = new QLabel(this);
    note_ = new QLabel(this);
    note_->setObjectName("status_note");
    background_ = new QLabel(this);
    background_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    progress_ = new QProgressBar(this);
    progress_->setTextVisible(false);
    progress_->setFixedWidth(140);
    progress_->hide();
    message_ = new QLabel(this);
    message_->setObjectName("status_message");
    message_->hide();
    message_timer_ = new QTimer(this);
    message_timer_->setSingleShot(true);
    connect(message_timer_, &QTimer::timeout, this, [this] {
        message_->clear();
        message_->hide();
    });
    history_button_ = new QToolButton(this);
    history_button_->setObjectName("status_history");
    history_button_->setText("Messages");
    history_button_->setToolTip("Every result and problem told here so far");
    history_button_->setFocusPolicy(Qt::NoFocus);
    history_button_->setEnabled(false);
    popup_ = new QListWidget(this);
    popup_->setObjectName("status_history_popup");
    popup_->setWindowFlags(Qt::Popup);
    popup_->setMinimumWidth(420);
    connect(history_button_, &QToolButton::clicked, this, [this] {
        popup_->clear();
        popup_->addItems(history_);
        popup_->scrollToBottom();
        const int rows = std::min<int>(12, std::max<int>(1, int(history_.size())));
        popup_->resize(std::max(420, width() / 2), rows * popup_->sizeHintForRow(0) + 8);
        // Opens upwards from the button: the line sits at the bottom of the window.
        popup_->move(history_button_->mapToGlobal(QPoint(0, -popup_->height())));
        popup_->show();
    });
    for (QLabel* label : {facts_, note_, background_, message_}) {
        QFont font = label->font();
        font.setPointSize(9);
        label->setFont(font);
    }
    row->addWidget(facts_);
    row->addWidget(note_);
    row->addStretch(1);
    row->addWidget(message_);
    row->addWidget(history_button_);
    row->addWidget(background_);
    row->addWidget(progress_);
    refresh();
}

void status_line::refresh() {
    const int frame = window_.link().current_frame;
    const brush_values b = window_.tool_brush().values();
    QString particles = "-";
    if (emitter* e = window_.scene(); e && window_.link().stepping) {
        auto it = e->frames.find(frame);
        if (it != e->frames.end() && it->second.needs_step()) {
            // Removed particles (weight 0) stay in the map but are no longer shown: only the
            // live ones count. Their weights change under the eat lock; while a worker holds
            // it the line keeps its last count.
            // The count is made again only after the frame's next step: at millions of
            // particles a count on every refresh would stall the window.
            const std::unique_lock<mutex> hold = it->second.hold_particles(std::try_to_lock);
            const uint32_t steps = it->second.steps_taken;
            if (hold.owns_lock() && (live_count_.frame != frame || live_count_.steps != steps)) {
                long long live = 0;
                for (const auto& [id, p] : it->second.particles)
                    live += p.live() ? 1 : 0;
                live_count_ = {frame, steps, QString::number(live)};
            }
            if (live_count_.frame == frame) particles = live_count_.text;
        }
    }
    facts_->setText("frame " + QString::number(frame) + "    " + brush_name(b.type) + "    space " +
                    number(b.space) + "    power " + number(b.power) + "    time " +
                    number(b.time) + "    particles " + particles);
    // A scale stroke changes only what display mode draws: without it the brush does nothing.
    QStringList notes;
    if (b.type == brush_kind::scale && !window_.display().toggle("cache_display"))
        notes << "scale shows in display mode";
    // A large frame shows a sample of its particles while the view moves.
    if (window_.viewport().moving_sample() > 1)
        notes << "showing 1 in " + QString::number(window_.viewport().moving_sample()) +
                     " while moving";
    note_->setText(notes.join("    "));

    background_state s;
    const transfer* download = window_.current_transfer();
    if (emitter* e = window_.scene(); e && window_.link().stepping)
        s = background_of(*e, int(window_.link().cache_files.size()), download);
    else if (download)
        s.text = "downloading";
    if (download && s.text == QLatin1String("downloading") && download->control.total > 0) {
        // In kilobytes, so that any size fits the bar's int range.
        s.total = int(std::min(download->control.total.load() / 1024, 1LL << 30));
        s.done = int(std::min(download->control.done.load() / 1024, 1LL << 30));
    }
    background_->setText(s.text);
    progress_->setVisible(s.total > 0);
    if (s.total > 0) {
        progress_->setRange(0, s.total);
        progress_->setValue(s.done);
    }
}

void status_line::show_message(const QString& message) {
    history_ << QTime::currentTime().toString("hh:mm:ss") + "  " + message;
    if (history_.size() > history_size) history_.removeFirst();
    message_->setText(message);
    message_->setToolTip(message);
    message_->show();
    history_button_->setEnabled(true);
    history_button_->setToolTip(QString::number(history_.size()) +
                                " results and problems told here so far");
    message_timer_->start(message_ms);
}

void status_line::add_control(QWidget* control) {
    auto* row = static_cast<QHBoxLayout*>(layout());
    row->insertWidget(row->indexOf(history_button_), control);
}

QString status_line::message() const {
    return message_->isHidden() ? QString() : message_->text();
}

QString status_line::facts() const {
    return facts_->text();
}

QString status_line::background() const {
    return background_->text();
}

QString status_line::note() const {
    return note_->text();
}

}  // namespace kavrin
