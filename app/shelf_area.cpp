#include "app/shelf_area.h"

#include <algorithm>
#include <cmath>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include "app/brush_fields.h"
#include "app/kavrin.h"
#include "app/scene_flows.h"
#include "scene/replay.h"
#include "base/strict.h"
#include "scene/stroke_log.h"
#include "exchange/cache_folder.h"
#include "view/brush.h"
#include "view/tool_settings.h"
#include "view/view3d.h"

namespace kavrin {

namespace {

// The folder dialog of the flows: beside choosing a folder, the artist may type the name of one
// that does not exist yet, which a save then creates; the stock dialog refuses such a name.
class new_folder_dialog : public QFileDialog {
  public:
    new_folder_dialog(QWidget* parent, const QString& start)
        : QFileDialog(parent, "Select a folder", start) {
        setFileMode(QFileDialog::Directory);
        setOption(QFileDialog::ShowDirsOnly);
    }
    void accept() override {
        const QStringList chosen = selectedFiles();
        if (chosen.size() == 1 && !QFileInfo::exists(chosen.first())) {
            done(QDialog::Accepted);
            return;
        }
        QFileDialog::accept();
    }
};

struct group_row {
    const char* group;
    std::vector<std::pair<const char*, bool>> buttons;  // name, checkable
};

// The panel's groups and buttons, in order; the brush group holds one button per brush type and
// then "hard", laid out from the brush types.
std::vector<group_row> panel_table() {
    return {
        {"brush", {}},
        {"cache",
         {{"export", false},
          {"override", false},
          {"import", false},
          {"display", true},
          {"onion_skin", true},
          {"log", false}}},
        {"camera", {{"import", false}, {"animation", true}, {"reset", false}, {"guide", true}}},
        {"geometry", {{"import", false}, {"visible", true}}},
        {"demo", {{"wine", false}, {"fireball", false}, {"100", false}, {"10000", false}}},
        {"user", {{"update", false}}},
    };
}

// What each button does, and its key where it has one.
const std::unordered_map<std::string, QString>& tooltips() {
    static const std::unordered_map<std::string, QString> all{
        {"brush_normal",
         "Normal brush: pushes particles along the surface normal, Shift inverts (key 1)"},
        {"brush_grab", "Grab brush: drags particles along with the mouse (key 2)"},
        {"brush_converge", "Converge brush: pulls particles towards the stroke's centre (key 3)"},
        {"brush_remove", "Remove brush: fades particles out (key 4)"},
        {"brush_scale",
         "Scale brush: grows particles, Shift shrinks them; shows in display mode (key 5)"},
        {"brush_hard", "Hard brush: full strength up to the brush's edge"},
        {"brush_mirror",
         "Mirror brush: every stroke also brushes its mirror image across x = 0 "
         "(key M)"},
        {"cache_export", "Save the scene as a particle cache, into a folder you choose"},
        {"cache_override", "Save the scene over the cache it came from"},
        {"cache_import", "Load a particle cache folder as the scene"},
        {"cache_display", "Display mode: particles as spheres sized by their scale"},
        {"cache_log",
         "Save the log of the strokes since the scene was opened, into a folder you choose"},
        {"cache_onion_skin",
         "Onion skin: the frames before (blue) and after (orange) shown "
         "faintly behind the current one (key O)"},
        {"camera_import", "Import a camera and its animation from an FBX file"},
        {"camera_animation", "Look through the imported camera"},
        {"camera_reset", "Put the view back to its start (key F frames the current frame)"},
        {"camera_guide", "Show the ground grid and the imported camera's outline"},
        {"geometry_import", "Import geometry from an FBX file"},
        {"geometry_visible", "Show the imported geometry"},
        {"demo_wine", "Download and open the sample scene \"wine\""},
        {"demo_fireball", "Download and open the sample scene \"fireball\""},
        {"demo_100", "New scene: a fountain of one particle a frame"},
        {"demo_10000", "New scene: a fountain of a hundred particles a frame"},
        {"user_update", "Look for a newer Kavrin and download it"},
    };
    return all;
}

// Toggles with a log topic of their own rather than the panel's button line.
const std::unordered_map<std::string, QString>& toggle_topics() {
    static const std::unordered_map<std::string, QString> all{{"brush_mirror", "mirror"},
                                                              {"cache_onion_skin", "onion skin"}};
    return all;
}

QString capitalised(QString text) {
    if (!text.isEmpty()) text[0] = text[0].toUpper();
    return text;
}

QFont panel_font(int points) {
    QFont font("Meiryo", points, QFont::Bold);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 1);
    return font;
}

QString button_style(const QString& image_dir, const QString& name, bool checkable) {
    const QString pressed = "{background-color:#D7D0A9;}";
    QString style =
        "QPushButton{ border-style: outset; border-radius: 0px; background-repeat: "
        "no-repeat;color: #000000;background-color:#F3EDD9;text-align: "
        "left;background-image: url(" +
        image_dir + name + ".png); }QPushButton:hover{background-color:#FCFBF5; } " +
        "QPushButton:pressed" + pressed;
    if (checkable) style += "QPushButton:checked" + pressed;
    return style;
}

// Group and name of a button's object name: the parts before and after the first "_".
std::pair<QString, QString> split_name(const QString& object_name) {
    const int cut = object_name.indexOf('_');
    return {object_name.left(cut), object_name.mid(cut + 1)};
}

// The folder that holds path, ending with "/".
QString parent_folder(const QString& path) {
    QString parent = QFileInfo(path).path();
    if (!parent.endsWith('/')) parent += '/';
    return parent;
}

}  // namespace

shelf_area::shelf_area(kavrin* window, int width) : window_(window), width_(width) {
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // A column taller than the window shows a scroll bar, so that the user sees there is more.
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFrameShape(QFrame::NoFrame);
    setStyleSheet(
        "QWidget{ border-radius: 0px; background-color: #000000 }"
        "QScrollBar:vertical{ background-color: #1C1C1C; width: 9px; margin: 0px; }"
        "QScrollBar::handle:vertical{ background-color: #8C8C8C; min-height: 30px; "
        "border-radius: 4px; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical{ height: 0px; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical{ background: none; }"
        // Tooltips take the panel's style: without their own they would be black on black.
        "QToolTip{ color: #000000; background-color: #F3EDD9; border: 1px solid #3A3226; }");
    content_ = new QWidget;
    // The content takes the width beside the scroll bar and its own height.
    setWidgetResizable(true);
    setWidget(content_);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        scroll_offset_ = -value;
        if (!applying_offset_) wanted_offset_ = scroll_offset_;
    });
    auto* row = new QHBoxLayout(content_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addSpacing(2);
    auto* inner = new QWidget;
    row->addWidget(inner);
    column_ = new QVBoxLayout(inner);
    column_->setContentsMargins(0, 0, 0, 0);
    column_->setSpacing(0);
    ask_path = [this](bool folder_mode, const QString& start) {
        if (folder_mode) {
            new_folder_dialog dialog(window_, start);
            return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()
                       ? dialog.selectedFiles().first()
                       : QString();
        }
        return QFileDialog::getOpenFileName(window_, "Select an FBX file", start,
                                            "FBX files (*.fbx);;All files (*)");
    };
    ask_format = [this](const QStringList& formats) {
        bool ok = false;
        const QString chosen = QInputDialog::getItem(
            window_, "Cache format", "Write the cache files as", formats, 0, false, &ok);
        return ok ? chosen : QString();
    };
    lay_out_buttons();
}

void shelf_area::lay_out_buttons() {
    while (QLayoutItem* item = column_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    buttons.clear();
    brush_buttons.clear();
    content_height_ = 0;
    for (const group_row& row : panel_table()) {
        add_header(row.group);
        if (QString(row.group) == "brush") {
            for (const QString& mode : brush_names())
                add_button(row.group, mode, true);
            add_button(row.group, "hard", true);
            add_button(row.group, "mirror", true);
            auto* fields = new brush_fields(*window_);
            column_->addWidget(fields);
            content_height_ += fields->sizeHint().height();
            continue;
        }
        for (const auto& [name, checkable] : row.buttons)
            add_button(row.group, name, checkable);
    }
    content_->setFixedHeight(content_height_);
}

void shelf_area::add_header(const QString& group) {
    column_->addSpacing(25);
    content_height_ += 25;
    auto* label = new QLabel(capitalised(group));
    label->setFont(panel_font(11));
    label->setStyleSheet("QLabel{color: #FFFFFF}");
    // 13 pixels, or what the font needs so that descenders are not cut off.
    const int height = std::max(13, label->fontMetrics().height());
    label->setFixedHeight(height);
    column_->addWidget(label);
    content_height_ += height + 12;
    column_->addSpacing(12);
}

void shelf_area::add_button(const QString& group, const QString& name, bool checkable) {
    const QString object_name = group + "_" + name;
    auto* button = new QPushButton;
    column_->addWidget(button);
    button->setObjectName(object_name);
    button->setCheckable(checkable);
    button->setFont(panel_font(9));
    button->setText(QString(9, ' ') +
                    capitalised(split_name(object_name).second.replace('_', ' ')));
    button->setStyleSheet(button_style(window_->paths().image_dir, object_name, checkable));
    button->setFixedHeight(38);
    // A button without a tooltip still works (the panel test asks for every one).
    const auto tip = tooltips().find(object_name.toStdString());
    if (tip != tooltips().end()) button->setToolTip(tip->second);
    if (checkable)
        connect(button, &QPushButton::toggled, this, &shelf_area::icon_toggled);
    else
        connect(button, &QPushButton::clicked, this, &shelf_area::icon_clicked);
    content_height_ += 39;
    column_->addSpacing(1);
    if (const auto kind = parse_brush_kind(name); group == "brush" && kind)
        brush_buttons[*kind] = button;
    else
        buttons[object_name.toStdString()] = button;
}

void shelf_area::scroll_to(int offset) {
    wanted_offset_ = offset;
    applying_offset_ = true;
    verticalScrollBar()->setValue(-offset);  // the scroll bar keeps it within the content
    applying_offset_ = false;
}

void shelf_area::resizeEvent(QResizeEvent* event) {
    QScrollArea::resizeEvent(event);
    // The range changes with the size: the offset asked for may fit now, or fit again.
    scroll_to(wanted_offset_);
}

void shelf_area::choose_brush(brush_kind type) {
    strict_at(brush_buttons, type, "the brush buttons")->setChecked(true);
}

bool shelf_area::scene_ready() const {
    return window_->link().stepping && window_->scene() && window_->scene()->built();
}

void shelf_area::icon_clicked() {
    auto* button = qobject_cast<QPushButton*>(sender());
    if (!button) return;
    const auto [group, name] = split_name(button->objectName());
    window_->log("control panel button / " + group + " / " + name);
    // A download under way also holds back what would replace the scene or start another.
    const bool busy = window_->link().panel_busy || window_->current_transfer();
    if (group == "cache") {
        if (busy) return;
        if (name == "export" || name == "override")
            save_cache(name);
        else if (name == "log")
            save_log();
        else
            import_cache();
    } else if (group == "camera") {
        if (name == "import") {
            import_fbx(*window_, *this, "camera");
        } else {
            if (scene_ready())
                for (auto& [number, fs] : window_->scene()->frames)
                    fs.touched = true;
            window_->reset_camera();
        }
    } else if (group == "geometry") {
        import_fbx(*window_, *this, "geometry");
    } else if (group == "demo") {
        if (busy) return;
        // Each of them replaces the scene.
        if (!window_->keep_work("opening the " + name + " scene")) return;
        if (name == "wine" || name == "fireball")
            sample_scene(*window_, *this, name);
        else
            new_scene(name);
    } else if (group == "user") {
        if (window_->current_transfer()) return;
        software_update(*window_);
    }
}

void shelf_area::icon_toggled(bool checked) {
    auto* button = qobject_cast<QPushButton*>(sender());
    if (!button) return;
    const auto [group, name] = split_name(button->objectName());
    const QString message =
        "control panel button / " + group + " / " + name + " / " + (checked ? "on" : "off");
    const std::optional<brush_kind> brush_type =
        group == "brush" ? parse_brush_kind(name) : std::nullopt;
    if (!brush_type) {
        const std::string toggle = button->objectName().toStdString();
        stroke_buttons buttons = window_->display().held_buttons();
        if (toggle == "brush_hard")
            buttons.hard = checked;
        else
            window_->display().set_toggle(toggle, checked);
        if (toggle == "brush_mirror") buttons.mirror = checked;
        window_->display().set_held_buttons(buttons);
        if (toggle == "cache_display" && scene_ready())
            for (auto& [number, fs] : window_->scene()->frames)
                fs.touched = true;
        const auto topic = toggle_topics().find(toggle);
        window_->log(topic == toggle_topics().end()
                         ? message
                         : topic->second + " / " + (checked ? "on" : "off"));
        window_->viewport().update();
        return;
    }
    if (brush_guard_) return;
    brush_guard_ = true;
    if (checked) {
        for (auto& [type, other] : brush_buttons)
            if (other != button && other->isChecked()) other->setChecked(false);
        window_->set_brush_type(*brush_type);
        window_->log(message);
    } else {
        button->setChecked(true);  // the active type cannot be switched off
    }
    brush_guard_ = false;
}

bool shelf_area::select_path(bool folder_mode, const QString& start, QString& path) {
    {
        const std::unique_lock<mutex> hold = window_->try_hold_dialogs();
        if (!hold.owns_lock()) return false;
        path = ask_path(folder_mode, start);
    }
    path.replace('\\', '/');
    return !path.isEmpty();
}

bool shelf_area::scan_cache(const QString& folder) {
    const cache_scan scan = scan_cache_folder(folder);
    report_cache_scan(scan, window_->link());
    window_->link().cache_files = scan.files;
    window_->link().source_files = scan.files;
    return !window_->link().cache_files.empty();
}

void shelf_area::import_cache() {
    if (!window_->keep_work("importing a cache")) return;
    QString folder;
    const bool chosen = select_path(true, last_folder["cache"], folder);
    if (chosen && scan_cache(folder)) {
        last_folder["cache"] = parent_folder(folder);
        window_->start_scene(true);
        window_->tell("Imported " + QString::number(window_->scene()->frames.size()) +
                      " frames from " + folder);
        return;
    }
    if (chosen) window_->tell("No cache files (.bin, .vdb, .ply) in " + folder);
    window_->log("cache generate / cancel");
}

void shelf_area::new_scene(const QString& name) {
    window_->link().cache_files.clear();
    window_->link().source_files.clear();
    window_->link().generation_scale = name == "10000" ? 100 : 1;
    window_->start_scene(false);
}

bool shelf_area::save_cache(const QString& name) {
    if (!scene_ready()) return false;
    QString folder;
    // The scene's own format first: the one its files were read in, .bin for a generated one.
    const cache_format own = window_->link().source_files.empty()
                                 ? cache_format::bin
                                 : cache_format_of(window_->link().source_files.begin()->second)
                                       .value_or(cache_format::bin);
    cache_format format = own;
    if (name == "override" && !window_->link().cache_files.empty()) {
        folder = QFileInfo(window_->link().cache_files.begin()->second).path();
        format = format_in_name(QFileInfo(window_->link().cache_files.begin()->second).fileName())
                     .value_or(own);
    } else {
        if (!select_path(true, last_folder["cache"], folder)) {
            window_->log("cache save / cancel");
            return false;
        }
        QStringList offered{format_name(own)};
        for (cache_format f : cache_formats())
            if (f != own) offered << format_name(f);
        const std::optional<cache_format> picked = parse_cache_format(ask_format(offered));
        if (!picked) {
            window_->log("cache save / cancel");
            return false;
        }
        format = *picked;
        window_->log("cache save / format / " + format_name(format));
    }
    // A folder that holds files is moved aside first: two caches are never mixed. The artist
    // is told where it goes before anything moves.
    const QDateTime now = QDateTime::currentDateTime();
    const QDir dir(folder);
    if (dir.exists() && !dir.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const int choice = window_->ask("save_over_prompt", "Save over a folder",
                                        "The folder " + folder +
                                            " already holds files.\nThey will be kept, moved to " +
                                            folder + "#" + now.toString("yyyy MM dd hh mm ss") +
                                            ", and the scene saved into an empty " + folder + ".",
                                        QMessageBox::Save | QMessageBox::Cancel, QMessageBox::Save);
        if (choice != QMessageBox::Save) {
            window_->log("cache save / cancel");
            return false;
        }
    }
    if (!made_folder(folder, "cache save", "Save failed")) return false;
    QString moved_to;
    if (!empty_cache_folder(folder, now, &moved_to)) {
        window_->log("cache save / error / " + folder + " cannot be emptied");
        window_->tell("Save failed: " + folder + " cannot be emptied");
        return false;
    }
    if (!moved_to.isEmpty()) {
        window_->log("cache save / moved aside / " + moved_to);
        window_->tell("The old " + folder + " was moved to " + moved_to);
        // Frames read from that folder are written back from where their files now are.
        follow_moved_folder(window_->link().source_files, folder, moved_to);
    }

    std::vector<int> frames;
    for (const auto& [number, fs] : window_->scene()->frames)
        frames.push_back(number);
    if (!window_->link().source_files.empty())
        for (const QString& attribute :
             dropped_attributes(window_->link().source_files.begin()->second, format))
            window_->log("cache save / dropped attribute / " + attribute);
    window_->link().cache_files = plan_cache_save(folder, frames, format);
    write_log(folder);
    last_folder["cache"] = parent_folder(folder);
    window_->link().panel_busy = true;
    window_->save_started(folder, int(frames.size()));
    window_->scene()->mark_for_save();
    return true;
}

void shelf_area::save_log() {
    if (!scene_ready()) return;
    QString folder;
    if (!select_path(true, last_folder["cache"], folder)) {
        window_->log("stroke log / cancel");
        return;
    }
    if (!made_folder(folder, "stroke log", "Stroke log not saved")) return;
    if (write_log(folder)) window_->mark_saved();
}

bool shelf_area::made_folder(const QString& folder, const QString& topic, const QString& failure) {
    if (QFileInfo(folder).isDir()) return true;
    // The nearest part of the path that exists says why a folder cannot be made there.
    QFileInfo there(folder);
    while (!there.exists() && there.absoluteFilePath() != there.absolutePath())
        there = QFileInfo(there.absolutePath());
    QString why;
    if (there.exists() && !there.isDir())
        why = there.absoluteFilePath() + " is a file";
    else if (QDir().mkpath(folder))
        return true;
    else
        why = there.exists() ? there.absoluteFilePath() + " cannot be written to" : "no such place";
    window_->log(topic + " / error / " + folder + " / cannot be created / " + why);
    window_->tell(failure + ": the folder " + folder + " cannot be created (" + why + ")");
    return false;
}

bool shelf_area::write_log(const QString& folder) {
    const QString path = folder + "/" + stroke_log_name(folder);
    // A log already there records how that folder's cache was made: it is kept aside.
    if (QFileInfo::exists(path)) {
        const QString aside =
            path + "#" + QDateTime::currentDateTime().toString("yyyy MM dd hh mm ss");
        if (!QFile::rename(path, aside)) {
            window_->log("stroke log / error / " + path + " / cannot be moved aside");
            window_->tell("Stroke log not saved: " + path + " cannot be moved aside");
            return false;
        }
        window_->log("stroke log / moved aside / " + aside);
    }
    QString error;
    const emitter& scene = *window_->scene();
    if (write_whole_file(
            path, stroke_log_json(scene.recorder.events(), stroke_log_version, source_of(scene)),
            &error)) {
        window_->log("stroke log / " + path);
        window_->tell("Saved the stroke log to " + path);
        return true;
    }
    window_->log("stroke log / error / " + path + " / " + error);
    window_->tell("Stroke log not saved: " + error);
    return false;
}

void shelf_area::mousePressEvent(QMouseEvent* event) {
    last_y_ = int(event->position().y());
    const bool alt = window_->link().keys().at("alt");
    window_->display().set_camera_mode(alt);
    if (alt && event->button() == Qt::MiddleButton) {
        drag_active_ = true;
        window_->log("side panel control / translate");
    }
}

void shelf_area::mouseMoveEvent(QMouseEvent* event) {
    if (!window_->display().camera_mode() || !drag_active_) return;
    const int y = int(event->position().y());
    const int d = std::clamp(y - last_y_, -100, 100);
    const int o = int(std::trunc(float(scroll_offset_) + float(d)));
    if ((d > 0 && o < height()) || (d < 0 && o > -content_height_)) {
        scroll_to(o);
        last_y_ = y;
    }
}

void shelf_area::mouseReleaseEvent(QMouseEvent* event) {
    if (window_->display().camera_mode() && event->button() == Qt::MiddleButton && drag_active_) {
        drag_active_ = false;
        window_->log("side panel control / translate");
    }
    window_->display().set_camera_mode(false);
}

}  // namespace kavrin
