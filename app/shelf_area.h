#pragma once
// The side panel: a column of icon buttons grouped by category. It switches the brush type and
// the display toggles, starts new scenes, imports and saves particle caches, and hands FBX
// imports, sample scenes and updates to their flows.

#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include <QScrollArea>
#include <QString>

#include "base/brush_kind.h"

class QPushButton;
class QVBoxLayout;

namespace kavrin {

class kavrin;

class shelf_area : public QScrollArea {
    Q_OBJECT
  public:
    shelf_area(kavrin* window, int width);

    // Categories of the file dialogs, and the display toggles, in their order.
    const std::vector<std::string> categories{"cache", "camera", "geometry"};
    const std::vector<std::string> toggles{"camera_animation", "geometry_visible", "camera_guide",
                                           "cache_display"};
    // The folder last used in a dialog of each category, ending with "/".
    std::unordered_map<std::string, QString> last_folder{
        {"cache", ""}, {"camera", ""}, {"geometry", ""}};
    // Every button that is not a brush type, by object name; the brush types by type name.
    std::unordered_map<std::string, QPushButton*> buttons;
    std::map<brush_kind, QPushButton*> brush_buttons;

    // Vertical offset of the content: 0 at the top, negative when scrolled down. It follows the
    // scroll bar, the wheel and Alt + middle drags.
    int scroll_offset() const { return scroll_offset_; }
    // The offset last asked for by scroll_to or by the user; a panel not yet laid out cannot
    // scroll yet and shows it once it can.
    int scroll_offset_wanted() const { return wanted_offset_; }
    // Scrolls the content to a vertical offset, within what the content allows.
    void scroll_to(int offset);
    // Checks the tool button of a brush type; its handler then sets the brush.
    void choose_brush(brush_kind type);

    // The file dialog of every flow: folder or file mode from a start folder; an empty result
    // means cancelled. Tests replace it.
    std::function<QString(bool folder_mode, const QString& start)> ask_path;
    // The format an export is written in, offered with the scene's own first; an empty result
    // means cancelled. Tests replace it.
    std::function<QString(const QStringList& formats)> ask_format;
    // Selects a path through ask_path under the window's dialog lock, with "/" separators.
    bool select_path(bool folder_mode, const QString& start, QString& path);

    // The flows behind the buttons.
    void import_cache();
    void new_scene(const QString& name);
    // False when no save started (cancelled, refused, or the folder cannot be emptied).
    bool save_cache(const QString& name);
    // Saves the scene's stroke log alone into a chosen folder, as a cache save writes it.
    void save_log();
    // Fills the window's cache files from a folder; false when it holds none.
    bool scan_cache(const QString& folder);

  public Q_SLOTS:
    void icon_clicked();
    void icon_toggled(bool checked);

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    void lay_out_buttons();
    void add_header(const QString& group);
    void add_button(const QString& group, const QString& name, bool checkable);
    // The scene is built and no other scene flow is under way.
    bool scene_ready() const;
    // Creates a folder that does not exist yet; false, logged under topic and told with the
    // reason after failure, when it cannot be made.
    bool made_folder(const QString& folder, const QString& topic, const QString& failure);
    // Writes the scene's stroke log into folder, beside its cache files.
    bool write_log(const QString& folder);

    kavrin* const window_;  // not owned
    const int width_;
    int content_height_ = 0;
    int scroll_offset_ = 0;
    int wanted_offset_ = 0;
    bool applying_offset_ = false;  // set while scroll_to moves the scroll bar itself
    bool drag_active_ = false;
    bool brush_guard_ = false;  // set while the panel itself changes brush buttons
    int last_y_ = 0;
    QWidget* content_ = nullptr;
    QVBoxLayout* column_ = nullptr;
};

}  // namespace kavrin
