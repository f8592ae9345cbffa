#include "app/kavrin.h"

#include <cmath>
#include <ctime>
#include <iterator>
#include <map>

#include <QApplication>
#include <QBitmap>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QDockWidget>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QSpinBox>
#include <QSplashScreen>
#include <QTextCursor>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/scripts.h"
#include "app/shelf_area.h"
#include "app/status_line.h"
#include "app/transfer.h"
#include "base/strict.h"
#include "exchange/cache_folder.h"
#include "exchange/cache_link.h"
#include "scene/replay.h"
#include "view/brush.h"
#include "view/timeline.h"
#include "view/tool_settings.h"
#include "view/view3d.h"

namespace kavrin {

namespace {

// The interface's background helper.
QString background(const QString& hex) {
    return "QWidget{ border-radius: 0px; background-color: #" + hex + " }";
}

}  // namespace

window_paths window_paths::of_application() {
    window_paths p;
    p.app_dir = QCoreApplication::applicationDirPath() + "/";
    p.resource_dir = p.app_dir + "resource/";
    p.image_dir = p.resource_dir + "image/";
    p.python_dir = p.resource_dir + "python/";
    p.tool_ini = p.resource_dir + "tool.ini";
    p.default_ini = p.resource_dir + "default.ini";
    p.debug_txt = p.resource_dir + "debug.txt";
    p.samples_dir = p.resource_dir + "samples/";
    return p;
}

kavrin::kavrin()
    : paths_(window_paths::of_application()),
      host_(*this, paths_.app_dir, paths_.python_dir, paths_.debug_txt),
      display_(host_, scene_, [this] { autosave_due = true; }) {
    QDir().mkpath(paths_.resource_dir);
    tool_brush_ = new class brush(this);
    host_.attach(tool_brush_, nullptr, nullptr);
    display_.attach(tool_brush_, nullptr);
    scripts::start();
    log("start kavrin");
}

kavrin::~kavrin() {
    qApp->removeEventFilter(this);
    abandon_transfer();
    // The emitter's display lists die with the viewport's context: free them first.
    host_.stepping = false;
    scene_.reset();
}

bool kavrin::startup() {
    QSplashScreen splash;
    const QStringList names{"splash", "mask"};
    // The images come from the server when they are missing; the start waits for them at most
    // a few seconds, whatever the server does.
    if (is_online) {
        QStringList files;
        for (const QString& name : names)
            files << paths_.image_dir + name + ".png";
        scripts::sync_missing(*this, files);
    }
    for (const QString& name : names) {
        const QString file = paths_.image_dir + name + ".png";
        const QPixmap picture(file);
        if (picture.isNull()) continue;  // a missing image leaves the splash plain
        if (name == QLatin1String("splash"))
            splash.setPixmap(picture);
        else
            splash.setMask(QBitmap::fromPixmap(picture));
    }
    splash.show();
    QCoreApplication::processEvents();
    scripts::clean(*this);

    try {
        build_window();
    } catch (const std::out_of_range& e) {
        log("startup / failed / " + QString::fromUtf8(e.what()));
        return false;
    }
    splash.finish(this);
    return true;
}

void kavrin::build_window() {
    auto* central = new QWidget(this);
    auto* columns = new QHBoxLayout(central);
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(0);

    auto* left = new QWidget(central);
    left->setStyleSheet(background("FFFFFF"));
    auto* left_layout = new QVBoxLayout(left);
    left_layout->setContentsMargins(0, 0, 0, 0);
    left_layout->setSpacing(0);
    viewport_ = new view3d(display_, left);
    host_.attach(nullptr, viewport_, nullptr);
    viewport_->set_camera(fountain_camera());
    left_layout->addWidget(viewport_, 1);
    status_ = new status_line(*this, left);
    host_.attach(nullptr, nullptr, status_);
    left_layout->addWidget(status_);

    auto* bar = new QWidget(left);
    bar->setFixedHeight(48);
    auto* bar_layout = new QHBoxLayout(bar);
    bar_layout->setContentsMargins(0, 0, 0, 0);
    bar_layout->setSpacing(5);
    bar_layout->addSpacing(6);
    bar_layout->addWidget(build_timeline_button("left"));
    strip_ = new class timeline(display_, bar);
    display_.attach(nullptr, strip_);
    connect(strip_, &timeline::frame_change, this, &kavrin::change_frame);
    bar_layout->addWidget(strip_, 1);
    bar_layout->addWidget(build_timeline_button("right"));
    bar_layout->addWidget(build_timeline_button("start"));
    bar_layout->addSpacing(20);
    left_layout->addWidget(bar);
    columns->addWidget(left, 1);

    auto* right = new QWidget(central);
    right->setFixedWidth(150);
    // A grey edge between the black viewport and the black panel.
    right->setStyleSheet(background("3A3A3A"));
    auto* right_layout = new QVBoxLayout(right);
    right_layout->setContentsMargins(2, 0, 0, 0);
    right_layout->setSpacing(0);
    shelf_ = new shelf_area(this, 148);
    right_layout->addWidget(shelf_);
    columns->addWidget(right);
    setCentralWidget(central);

    build_debug_panel();
    build_view_controls();
    setWindowTitle("Kavrin - Rev." + release_.revision);
    connect(qApp, &QApplication::focusChanged, this, &kavrin::focus);
    // Modifier keys are followed through the key events of every widget: whichever has the
    // focus, the window learns of each press and release when it happens.
    qApp->installEventFilter(this);
    if (is_release) setContextMenuPolicy(Qt::NoContextMenu);

    frame_timer = new QTimer(this);
    connect(frame_timer, &QTimer::timeout, this, &kavrin::frame_anim);
    frame_timer->start(100);

    // A session that did not close left its record: read before the first scene replaces it.
    QString damaged;
    found_autosave_ = read_autosave(paths_.resource_dir, &damaged);
    if (!damaged.isEmpty()) log("autosave / error / " + damaged);
    // The built-in fountain, so that the window shows a scene from the start.
    host_.generation_scale = 1;
    start_scene(false);

    // Small enough for a laptop's half screen, large enough that every control shows.
    setMinimumSize(760, 520);
    resize(1280, 800);
    {
        mutex_hold hold(settings_lock);
        load_settings();
        settings_dirty = false;
    }
    restore_fbx_imports(*this, *shelf_);
    show();
    // Only a shown panel knows how far it can scroll: the offset read is applied again now.
    shelf_->scroll_to(shelf_->scroll_offset_wanted());
    log("window size / " + QString::number(width()) + "x" + QString::number(height()));
    strip_->show_frame_number = true;
    strip_->redraw();
    offer_recovery();
}

void kavrin::build_view_controls() {
    QMenu* view_menu = menuBar()->addMenu("View");
    QAction* debug = debug_dock_->toggleViewAction();
    // F12 is one of the window's keys (see plain_key), so it works wherever the focus is.
    debug->setText("Debug panel\tF12");
    view_menu->addAction(debug);
    connect(debug, &QAction::triggered, this,
            [this](bool on) { log(QString("debug panel / ") + (on ? "on" : "off")); });
    // Shift+Home is one of the window's keys too; plain Home goes to the first frame.
    QAction* all = view_menu->addAction("Frame all\tShift+Home");
    connect(all, &QAction::triggered, this, [this] {
        if (!host_.view.drag_active && viewport_->frame_all()) log("camera control / frame all");
    });

    auto* button = new QToolButton(status_);
    button->setObjectName("display_button");
    button->setText("Display");
    button->setToolTip("Point size, onion skin frames, scene unit and FBX scale");
    button->setFocusPolicy(Qt::NoFocus);
    auto* popup = new QFrame(this, Qt::Popup);
    popup->setObjectName("display_popup");
    popup->setFrameShape(QFrame::StyledPanel);
    auto* form = new QFormLayout(popup);
    auto* size = new QSpinBox(popup);
    size->setObjectName("point_size");
    size->setRange(1, 100);
    auto* onion = new QSpinBox(popup);
    onion->setObjectName("onion_frames");
    onion->setRange(onion_frames_range[0], onion_frames_range[1]);
    onion->setToolTip("Frames the onion skin shows on each side of the current one (key O)");
    auto* unit = new QComboBox(popup);
    unit->setObjectName("scene_unit");
    for (const length_unit& u : scene_units())
        unit->addItem(u.label, QString(u.name));
    unit->setToolTip("The unit of the scene's particles: FBX files come in at it");
    auto* scale = new QDoubleSpinBox(popup);
    scale->setObjectName("fbx_scale");
    scale->setDecimals(6);
    scale->setRange(fbx_scale_range[0], fbx_scale_range[1]);
    scale->setToolTip("Scene units per centimetre of an FBX file");
    form->addRow("Point size", size);
    form->addRow("Onion frames", onion);
    form->addRow("Scene unit", unit);
    form->addRow("FBX scale", scale);
    connect(unit, &QComboBox::activated, this, [this, unit, scale](int i) {
        set_scene_unit(*this, unit->itemData(i).toString());
        scale->setValue(fbx_.scale);
    });
    connect(scale, &QDoubleSpinBox::editingFinished, this, [this, scale] {
        // The field shows six decimals: leaving it as shown keeps the unit's own factor.
        if (std::abs(scale->value() - double(fbx_.scale)) < 5e-7) return;
        set_fbx_scale(*this, float(scale->value()));
        log("fbx scale / " + QString::number(fbx_.scale, 'g', 6));
    });
    connect(size, &QSpinBox::valueChanged, this, [this](int v) {
        if (v == display_.particle_size_value) return;
        // Through the debug panel's slider, which marks every frame for redrawing.
        findChild<QSlider*>("particle_size")->setValue(v);
        log("point size / " + QString::number(v));
    });
    connect(onion, &QSpinBox::valueChanged, this, [this](int v) {
        if (v == display_.onion_count()) return;
        display_.set_onion_count(v);
        log("onion frames / " + QString::number(v));
        if (viewport_) viewport_->update();
    });
    connect(button, &QToolButton::clicked, this, [this, button, popup, size, onion, unit, scale] {
        size->setValue(display_.particle_size_value);
        onion->setValue(display_.onion_count());
        unit->setCurrentIndex(unit->findData(fbx_.scene_unit));
        scale->setValue(fbx_.scale);
        popup->adjustSize();
        popup->move(button->mapToGlobal(QPoint(0, -popup->height())));
        popup->show();
    });
    status_->add_control(button);
}

QPushButton* kavrin::build_timeline_button(const QString& name) {
    auto* b = new QPushButton;
    b->setCheckable(true);
    b->setFixedSize(38, 38);
    b->setObjectName(name);
    const bool start = name == QLatin1String("start");
    const QString off = start ? "start" : "off", on = start ? "stop" : "on";
    const QString border = start
                               ? QString()
                               : "border-style: outset; border-width: 1px; border-color: #444444; "
                                 "border-radius: 3px;";
    b->setStyleSheet("QPushButton{background-color: transparent; background-image: url(" +
                     paths_.image_dir + "timeline_" + off + ".png);" + border +
                     "} QPushButton:checked{background-color: transparent; background-image: "
                     "url(" +
                     paths_.image_dir + "timeline_" + on + ".png);}");
    b->setFocusPolicy(Qt::NoFocus);
    static const std::map<QString, QString> tips{
        {"left", "Stretch the brush in time back to the first frame"},
        {"right", "Stretch the brush in time on to the last frame"},
        {"start", "Play or stop (Space)"}};
    b->setToolTip(tips.at(name));
    connect(b, &QPushButton::toggled, this, &kavrin::time_event);
    buttons_[name.toStdString()] = b;
    return b;
}

QPushButton& kavrin::timeline_button(const std::string& name) const {
    return *strict_at(buttons_, name, "the timeline buttons");
}

void kavrin::start_scene(bool from_cache, std::optional<unsigned> seed) {
    host_.stepping = false;
    scene_.reset();  // waits until the old emitter's workers have ended
    host_.scene_clock.start();
    host_.view.hit = false;  // the last pick was on the old scene's frame
    host_.panel_busy = true;
    source_ = scene_source();
    source_.from_cache = from_cache;
    if (from_cache) {
        if (!host_.cache_files.empty())
            source_.folder = QFileInfo(host_.cache_files.begin()->second).path();
    } else {
        // The fountain is built on one worker, frame after frame: the same seed emits the same
        // particles, so a recovery can rebuild the scene its strokes were painted on.
        source_.scale = host_.generation_scale;
        source_.seed = seed ? *seed : unsigned(std::random_device()());
        host_.reseed(source_.seed);
    }
    scene_ = std::make_unique<emitter>(from_cache, &host_);
    scene_->build();
    log("cache size / " + QString::number(scene_->frames.size()));
    saved_events_ = 0;
    autosave_due = false;
    remove_autosave(paths_.resource_dir);
    host_.stepping = true;
    // The current frame stays inside the scene: the nearest of its frames.
    const std::map<int, scene_frame>& frames = scene_->frames;
    if (!frames.empty() && !frames.count(host_.current_frame)) {
        auto next = frames.lower_bound(host_.current_frame);
        int nearest = next == frames.end() ? std::prev(next)->first : next->first;
        if (next != frames.end() && next != frames.begin() &&
            host_.current_frame - std::prev(next)->first <= next->first - host_.current_frame)
            nearest = std::prev(next)->first;
        change_frame(nearest);
        log("current frame / " + QString::number(nearest));
    }
    if (viewport_) viewport_->update();
    // A new scene is shown whole on the strip, once the settings have said how it was left.
    if (strip_ && !settings_dirty) strip_->fit();
    display_.redraw_timeline();
}

// ---- Unsaved work, autosave and recovery ----

bool kavrin::unsaved() const {
    return scene_ && scene_->recorder.events().size() > saved_events_;
}

void kavrin::mark_saved() {
    if (scene_) saved_events_ = scene_->recorder.events().size();
    autosave_due = false;
    remove_autosave(paths_.resource_dir);
}

int kavrin::ask(const QString& name, const QString& title, const QString& text, int buttons,
                int default_button) {
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::StandardButtons(buttons),
                    this);
    box.setObjectName(name);
    box.setDefaultButton(QMessageBox::StandardButton(default_button));
    return box.exec();
}

bool kavrin::keep_work(const QString& action) {
    if (!unsaved()) return true;
    const size_t changes = scene_->recorder.events().size() - saved_events_;
    const int choice =
        ask("unsaved_prompt", "Unsaved strokes",
            QString("The scene has %1 unsaved change%2 (strokes, undos, redos) since it was %3.\n"
                    "Save them as a cache before %4?")
                .arg(changes)
                .arg(changes == 1 ? "" : "s")
                .arg(saved_events_ > 0 ? "last saved" : "opened")
                .arg(action),
            QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
    if (choice == QMessageBox::Discard) {
        log("unsaved strokes / discard");
        return true;
    }
    if (choice != QMessageBox::Save) {
        log("unsaved strokes / cancel");
        return false;
    }
    log("unsaved strokes / save");
    if (!shelf_->save_cache("export")) return false;
    // The frames are written by the background work, which the frame timer drives.
    while (host_.panel_busy || (scene_ && scene_->saving())) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 50);
        QThread::msleep(5);
    }
    frame_anim();  // tells how the save went
    return host_.save_failures() == 0;
}

void kavrin::save_started(const QString& folder, int frames) {
    save_folder_ = folder;
    save_frames_ = frames;
    host_.reset_save_failures();
    mark_saved();
}

void kavrin::write_autosave_now() {
    autosave_due = false;
    if (!scene_) return;
    autosave a{source_, scene_->recorder.events()};
    if (a.events.size() <= saved_events_) {
        remove_autosave(paths_.resource_dir);
        return;
    }
    QString error;
    if (!write_autosave(paths_.resource_dir, a, &error)) log("autosave / error / " + error);
}

void kavrin::offer_recovery() {
    std::optional<autosave> found = std::move(found_autosave_);
    found_autosave_.reset();
    if (!found || found->events.empty()) return;
    const int choice =
        ask("recover_prompt", "Recover strokes",
            QString("Kavrin did not close normally last time. Replay the %1 recorded change%2 "
                    "onto %3?")
                .arg(found->events.size())
                .arg(found->events.size() == 1 ? "" : "s")
                .arg(found->source.describe()),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (choice != QMessageBox::Yes) {
        log("recovery / no");
        return;
    }
    log("recovery / yes");
    recover(*found);
}

bool kavrin::recover(const autosave& saved) {
    if (saved.source.from_cache) {
        const cache_scan scan = scan_cache_folder(saved.source.folder);
        report_cache_scan(scan, host_);
        host_.cache_files = host_.source_files = scan.files;
        if (host_.cache_files.empty()) {
            log("recovery / error / no cache files / " + saved.source.folder);
            tell("Recovery failed: no cache files in " + saved.source.folder);
            return false;
        }
        start_scene(true);
    } else {
        host_.cache_files.clear();
        host_.source_files.clear();
        host_.generation_scale = saved.source.scale;
        start_scene(false, saved.source.seed);
    }
    const int shown = host_.current_frame;
    host_.forget_failure();
    const replay_host host{
        host_, [this](const brush_values& b, const camera_values& c) { host_.replay_inputs(b, c); },
        [this] { return host_.first_failure(); }};
    size_t done = 0;
    QString stopped;
    try {
        settle(*scene_, host);
        for (const log_event& event : saved.events) {
            replay(*scene_, host, event);
            ++done;
        }
    } catch (const replay_error& e) {
        stopped = QString::fromUtf8(e.what());
    }
    host_.end_replay();
    refresh_keys(QGuiApplication::queryKeyboardModifiers());
    // The replay moved the current frame as the strokes did, behind the timeline's back.
    const int last = host_.current_frame;
    host_.current_frame = shown;
    change_frame(last);
    autosave_due = true;
    const QString count = QString::number(done) + " of " + QString::number(saved.events.size());
    if (!stopped.isEmpty()) {
        log("recovery / error / " + count + " / " + stopped);
        tell("Recovery stopped after " + count + " changes: " + stopped);
        return false;
    }
    log("recovery / done / " + count);
    tell("Recovered " + QString::number(done) + " changes onto " + saved.source.describe());
    return true;
}

// ---- Tool settings and side panel ----

void kavrin::load_settings() {
    const tool_state s = load_tool_settings(paths_.tool_ini, paths_.default_ini);
    if (!s.geometry.isEmpty()) restoreGeometry(s.geometry);
    if (!s.state.isEmpty()) restoreState(s.state, 0);
    set_frame("current", s.current);
    tool_brush_->set_power(s.power);
    tool_brush_->set_time(s.time);
    tool_brush_->set_space(s.space);
    tool_brush_->set_select_curve(s.select_curve);
    shelf_->choose_brush(s.type);
    for (const auto& [side, checked] : s.offsets)
        timeline_button(side).setChecked(checked);
    strip_->scale = s.view_scale;
    strip_->offset = s.view_translate;
    strip_->fitted = s.view_fit;
    display_.set_middle_navigation(s.middle_navigation);
    viewport_->set_camera(s.camera);
    shelf_->scroll_to(s.toolbox_translate);
    for (const auto& [category, dir] : s.dirs)
        shelf_->last_folder[category] = dir;
    for (const auto& [name, checked] : s.toggles)
        strict_at(shelf_->buttons, name, "the panel buttons")->setChecked(checked);
    display_.set_onion_count(s.onion_frames);
    // The unit and scale first, so that the files restored after them come in at that scale.
    fbx_.scene_unit = s.scene_unit;
    set_fbx_scale(*this, s.fbx_scale);
    for (const auto& [kind, file] : s.fbx_files)
        if (!display_.imported(kind)) fbx_.files[kind] = file;
    viewport_->update();
    display_.redraw_timeline();
}

void kavrin::save_settings() {
    tool_state s;
    s.geometry = saveGeometry();
    s.state = saveState(0);
    s.current = host_.current_frame;
    const brush_values b = tool_brush_->values();
    s.power = b.power;
    s.time = b.time;
    s.space = b.space;
    s.type = b.type;
    s.select_curve = b.select_curve;
    for (auto& [side, checked] : s.offsets)
        checked = timeline_button(side).isChecked();
    s.view_scale = strip_->scale;
    s.view_translate = strip_->offset;
    s.view_fit = strip_->fitted;
    s.middle_navigation = display_.middle_navigates();
    s.camera = viewport_->camera();
    s.toolbox_translate = shelf_->scroll_offset();
    for (auto& [category, dir] : s.dirs)
        dir = shelf_->last_folder[category];
    for (auto& [name, checked] : s.toggles)
        checked = display_.toggle(name);
    s.onion_frames = display_.onion_count();
    s.scene_unit = fbx_.scene_unit;
    s.fbx_scale = fbx_.scale;
    s.fbx_files = fbx_.files;
    if (!save_tool_settings(paths_.tool_ini, s)) log("tool settings / error / " + paths_.tool_ini);
}

void kavrin::set_brush_type(brush_kind type) {
    tool_brush_->set_type(type);
    tool_brush_->set_vector(vec3());
}

void kavrin::reset_camera() {
    viewport_->set_camera(fountain_camera());
    viewport_->update();
}

// ---- Frames and playback ----

void kavrin::set_frame(const QString& name, int value) {
    if (name == QLatin1String("current")) {
        if (strip_) strip_->offset += float(value - host_.current_frame) * strip_->scale;
        host_.current_frame = value;
        if (strip_) strip_->follow();
    } else if (name == QLatin1String("maximum")) {
        if (scene_) scene_->last_frame = value;
    } else if (name == QLatin1String("minimum")) {
        if (scene_) scene_->first_frame = value;
    }
}

void kavrin::change_frame(int value) {
    set_frame("current", value);
    if (viewport_) viewport_->update();
    play_clock.restart();
    play_base = host_.current_frame;
}

void kavrin::play_to(qint64 elapsed_ms) {
    if (!scene_) return;
    const int f = play_base + int(std::trunc(double(elapsed_ms) * 30.0 / 1000.0));
    // The last frame is never shown: reaching it wraps to the first.
    if (scene_->first_frame < f && f < scene_->last_frame) {
        set_frame("current", f);
        if (viewport_) viewport_->update();
        display_.redraw_timeline();
    } else {
        set_frame("current", scene_->first_frame);
        play_clock.restart();
        play_base = host_.current_frame;
    }
}

void kavrin::frame_anim() {
    if (settings_dirty && settings_lock.try_lock()) {
        load_settings();
        settings_dirty = false;
        settings_lock.unlock();
    }
    if (host_.redraw_needed) {
        display_.redraw_timeline();
        if (viewport_) viewport_->update();
        host_.redraw_needed = false;
    }
    if (host_.stepping && scene_) {
        if (display_.playing()) play_to(play_clock.elapsed());
        scene_->tick();
    }
    if (host_.log_stale()) host_.refresh_log_view();
    if (autosave_due) write_autosave_now();
    if (!save_folder_.isEmpty() && !host_.panel_busy && scene_ && !scene_->saving()) {
        const int failed = host_.save_failures();
        if (failed > 0)
            tell("Save failed: " + QString::number(failed) + " of " +
                 QString::number(save_frames_) + " frames could not be written to " + save_folder_ +
                 " (see the log)");
        else
            tell("Saved " + QString::number(save_frames_) + " frames to " + save_folder_);
        save_folder_.clear();
    }
    if (status_) status_->refresh();
}

void kavrin::time_event(bool checked) {
    auto* b = qobject_cast<QPushButton*>(sender());
    if (!b) return;
    const QString name = b->objectName();
    if (name == QLatin1String("start")) {
        display_.set_playing(checked);
        if (checked) {
            set_frame("current", host_.current_frame);
            play_clock.start();
            play_base = host_.current_frame;
        }
    } else {
        stroke_buttons held = display_.held_buttons();
        if (name == QLatin1String("left")) held.side_left = checked;
        if (name == QLatin1String("right")) held.side_right = checked;
        display_.set_held_buttons(held);
        display_.redraw_timeline();
    }
    log("timeline button / " + name + " / " + (checked ? "on" : "off"));
}

// ---- Keys and focus ----

void kavrin::refresh_keys(Qt::KeyboardModifiers modifiers) {
    key_state now = key_state::released();
    now.set("alt", modifiers & Qt::AltModifier);
    now.set("ctrl", modifiers & Qt::ControlModifier);
    now.set("shift", modifiers & Qt::ShiftModifier);
    const key_state before = host_.exchange_keys(now);
    // "ctrl" and "shift" change the brush vector and the cursor on a shown frame.
    if (!viewport_ || !viewport_->frame_shown()) return;
    for (const char* name : {"ctrl", "shift"})
        if (before.at(name) != now.at(name)) viewport_->keys_changed();
}

bool kavrin::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == QEvent::KeyPress || type == QEvent::KeyRelease) {
        auto* key = static_cast<QKeyEvent*>(event);
        // Keys typed into a dialog (a file name with capitals) are the dialog's, not the brush's.
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget && widget->window() != this) return QMainWindow::eventFilter(watched, event);
        modifier_event(key);
        if (type == QEvent::KeyPress && shortcut(watched, key)) return true;
    } else if (type == QEvent::Enter && watched == viewport_ && !isActiveWindow()) {
        // Keys pressed or released while another window had the keyboard never reached us.
        refresh_keys(QGuiApplication::queryKeyboardModifiers());
    }
    return QMainWindow::eventFilter(watched, event);
}

void kavrin::modifier_event(QKeyEvent* event) {
    // An event passes the filter once per widget it is offered to; taking the same state
    // again changes nothing.
    const bool pressed = event->type() == QEvent::KeyPress;
    // Platforms differ in whether a modifier key's own event counts it as held: say it here.
    Qt::KeyboardModifiers modifiers = event->modifiers();
    const std::pair<int, Qt::KeyboardModifier> own[] = {{Qt::Key_Alt, Qt::AltModifier},
                                                        {Qt::Key_Control, Qt::ControlModifier},
                                                        {Qt::Key_Shift, Qt::ShiftModifier}};
    for (const auto& [key, modifier] : own)
        if (event->key() == key) modifiers.setFlag(modifier, pressed);
    const bool shift_before = host_.keys().at("shift");
    refresh_keys(modifiers);
    if (event->key() == Qt::Key_Shift && host_.keys().at("shift") != shift_before)
        log(QString("invert vector / ") + (pressed ? "on" : "off"));
}

namespace {

// Widgets that take typed text, read-only ones included (their keys select and scroll): the
// window's keys leave them alone.
bool text_field(const QWidget* w) {
    if (!w) return false;
    if (qobject_cast<const QLineEdit*>(w) || qobject_cast<const QTextEdit*>(w) ||
        qobject_cast<const QPlainTextEdit*>(w) || qobject_cast<const QAbstractSpinBox*>(w))
        return true;
    const auto* combo = qobject_cast<const QComboBox*>(w);
    return combo && combo->isEditable();
}

// Brush space steps of [ and ]: a quarter up, and back down by the same factor.
const float space_up_pixels = 50.0f, space_down_pixels = -40.0f;

}  // namespace

bool kavrin::shortcut(QObject* receiver, QKeyEvent* event) {
    // A key press is offered to the focus widget first and then to its parents; the first offer
    // decides. Only the widgets of this window count: dialogs keep their keys.
    auto* widget = qobject_cast<QWidget*>(receiver);
    if (!widget) return false;
    bool ours = false;
    for (const QWidget* w = widget; w && !ours; w = w->parentWidget()) {
        if (qobject_cast<const QDialog*>(w)) return false;
        ours = w == this;
    }
    // The window's focus widget, which is the application's while the window is active.
    if (!ours || text_field(widget) || text_field(focusWidget())) return false;
    return editing_key(event) || plain_key(event);
}

bool kavrin::frame_editable() const {
    return scene_ && viewport_ && viewport_->frame_shown() && !host_.view.drag_active;
}

bool kavrin::editing_key(QKeyEvent* event) {
    const int key = event->key();
    if (key == Qt::Key_Escape && viewport_ && viewport_->ring_open() != view3d::ring::none) {
        viewport_->close_ring(false);
        return true;
    }
    if (key == Qt::Key_Escape) {
        if (!viewport_ || !viewport_->stroke_held()) return false;
        viewport_->cancel_stroke();
        return true;
    }
    // The keys already follow this event (the filter took its modifiers first).
    const key_state held = host_.keys();
    if (!held.at("ctrl") || (key != Qt::Key_Z && key != Qt::Key_Y)) return false;
    const bool redo = key == Qt::Key_Y || held.at("shift");
    if (!event->isAutoRepeat() && frame_editable()) {
        if (redo)
            scene_->redo();
        else
            scene_->undo();
        autosave_due = true;
    }
    return true;
}

bool kavrin::plain_key(QKeyEvent* event) {
    const int key = event->key();
    // Numpad views as in other 3D tools: 1 front, 3 side, 7 top; Ctrl looks from the other side.
    if (event->modifiers() & Qt::KeypadModifier) {
        static const std::map<int, const char*> views{
            {Qt::Key_1, "front"}, {Qt::Key_3, "side"}, {Qt::Key_7, "top"}};
        const auto view = views.find(key);
        if (view != views.end() && !(event->modifiers() & (Qt::AltModifier | Qt::MetaModifier))) {
            if (!event->isAutoRepeat() && !host_.view.drag_active && !viewport_->scene_view()) {
                const bool opposite = event->modifiers() & Qt::ControlModifier;
                viewport_->set_camera(preset_view(viewport_->camera(), view->second, opposite));
                viewport_->update();
                log(QString("camera view / ") + view->second + (opposite ? " opposite" : ""));
            }
            return true;
        }
    }
    if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    const bool repeat = event->isAutoRepeat();
    // What a held stroke or camera drag relies on stays as it is until the button is released.
    const bool dragging = host_.view.drag_active;
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    if (key == Qt::Key_Home && shift) {
        if (!repeat && !dragging && viewport_->frame_all()) log("camera control / frame all");
        return true;
    }
    switch (key) {
        case Qt::Key_R:
            if (!repeat) viewport_->open_ring(shift ? view3d::ring::strength : view3d::ring::size);
            return true;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (viewport_->ring_open() == view3d::ring::none) return false;
            viewport_->close_ring(true);
            return true;
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Home:
        case Qt::Key_End:
            frame_key(key);
            return true;
        case Qt::Key_Space: {
            QPushButton& start = timeline_button("start");
            if (!repeat && (start.isChecked() || !dragging)) start.toggle();
            return true;
        }
        case Qt::Key_BracketLeft:
        case Qt::Key_BracketRight:
            tool_brush_->drag_space(
                key == Qt::Key_BracketLeft ? space_down_pixels : space_up_pixels,
                viewport_->camera().focal_mag);
            log("brush size space / " + QString::number(tool_brush_->space(), 'g', 6));
            viewport_->update();
            return true;
        case Qt::Key_1:
        case Qt::Key_2:
        case Qt::Key_3:
        case Qt::Key_4:
        case Qt::Key_5:
            // A stroke keeps its type to the end: its undo record holds one kind of value.
            if (!repeat && !dragging) shelf_->choose_brush(brush_kinds.at(size_t(key - Qt::Key_1)));
            return true;
        case Qt::Key_F:
            if (!repeat && !dragging && viewport_->frame_particles()) log("camera control / frame");
            return true;
        case Qt::Key_O:
            if (!repeat)
                strict_at(shelf_->buttons, "cache_onion_skin", "the panel buttons")->toggle();
            return true;
        case Qt::Key_M:
            if (!repeat) strict_at(shelf_->buttons, "brush_mirror", "the panel buttons")->toggle();
            return true;
        case Qt::Key_F12:
            if (!repeat) debug_dock_->toggleViewAction()->trigger();
            return true;
        default:
            return false;
    }
}

void kavrin::frame_key(int key) {
    // A stroke belongs to one frame, and a camera drag looks at the frame it began on.
    if (!host_.stepping || !scene_ || host_.view.drag_active) return;
    const std::map<int, scene_frame>& frames = scene_->frames;
    const int current = host_.current_frame;
    int target = current;
    if (key == Qt::Key_Home) {
        target = scene_->first_frame;
    } else if (key == Qt::Key_End) {
        target = scene_->last_frame;
    } else if (key == Qt::Key_Left) {
        const auto it = frames.lower_bound(current);
        if (it != frames.begin()) target = std::prev(it)->first;
    } else {
        const auto it = frames.upper_bound(current);
        if (it != frames.end()) target = it->first;
    }
    if (target == current) return;
    change_frame(target);
    display_.redraw_timeline();
    log("frame key / " + QString::number(target));
}

void kavrin::focus(QWidget* old, QWidget* now) {
    if (!now) {
        // The keys released from now on go to another program: none counts as held, and no
        // brush hovers a window without focus.
        refresh_keys(Qt::NoModifier);
        host_.view.hit = false;
        log("focus / out");
    } else if (!old) {
        refresh_keys(QGuiApplication::queryKeyboardModifiers());
    }
}

// ---- Download chains ----

bool kavrin::run_transfer(const QString& label, std::function<void(transfer_control&)> work,
                          std::function<void()> done) {
    if (transfer_) return false;
    transfer_ = std::make_unique<transfer>(std::move(work));
    connect(transfer_.get(), &transfer::finished, this, [this, done = std::move(done)] {
        end_transfer();
        done();
    });
    if (label.isEmpty()) return true;
    transfer_progress_ = new QProgressDialog(label, "Cancel", 0, 0, this);
    transfer_progress_->setWindowModality(Qt::NonModal);
    transfer_progress_->setMinimumDuration(300);
    transfer_progress_->setAutoClose(false);
    transfer_progress_->setAutoReset(false);
    transfer_control& control = transfer_->control;
    connect(transfer_progress_, &QProgressDialog::canceled, this, [this, &control] {
        control.cancel = true;
        log("download / cancel");
    });
    auto* poll = new QTimer(transfer_progress_);
    connect(poll, &QTimer::timeout, transfer_progress_, [dialog = transfer_progress_, &control] {
        // Kilobytes, so that every size fits the dialog's int range.
        const long long total = control.total, done = control.done;
        dialog->setMaximum(total > 0 ? int(std::min(total / 1024, 1LL << 30)) : 0);
        dialog->setValue(total > 0 ? int(std::min(done / 1024, 1LL << 30)) : 0);
    });
    poll->start(100);
    return true;
}

void kavrin::abandon_transfer() {
    // A download still under way is cancelled and what it finds dropped; its thread has ended
    // when this returns.
    delete transfer_progress_;
    transfer_progress_ = nullptr;
    transfer_.reset();
}

void kavrin::end_transfer() {
    // Deleted now, with its poll timer: neither may outlive the control they read.
    delete transfer_progress_;
    transfer_progress_ = nullptr;
    // Its thread has ended; the object goes once the signal that called here has returned.
    transfer_.release()->deleteLater();
}

// ---- Closing ----

void kavrin::closeEvent(QCloseEvent* event) {
    if (!keep_work("closing")) {
        event->ignore();
        return;
    }
    // Whatever was unsaved has been saved or given up: nothing is left to recover.
    remove_autosave(paths_.resource_dir);
    // The window goes at once; the settings are saved and the workers stopped behind it, and
    // nothing of the window logs after "close kavrin".
    disconnect(qApp, &QApplication::focusChanged, this, &kavrin::focus);
    qApp->removeEventFilter(this);
    if (frame_timer) frame_timer->stop();
    if (transfer_) transfer_->disconnect(this);  // what it finds is no longer wanted
    hide();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    save_settings();
    scripts::clean(*this);
    abandon_transfer();
    host_.stepping = false;
    scene_.reset();  // waits for the scene's workers
    log("close kavrin");
    event->accept();
}

}  // namespace kavrin
