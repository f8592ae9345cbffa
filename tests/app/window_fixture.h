#pragma once
// A started main window for GUI tests, with the log helpers they share.

#include <algorithm>

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QRectF>
#include <QTest>
#include <QTimer>

#include "app/autosave.h"
#include "app/kavrin.h"
#include "dynamics/frame_set.h"
#include "view/camera.h"
#include "view/view3d.h"

namespace kavrin::test {

// The tool settings a test program writes, so that each window can start from the defaults.
inline QString tool_ini_path() {
    return QCoreApplication::applicationDirPath() + "/resource/tool.ini";
}

// A started window; closed and freed at the end of the scope. Unless keep_settings, it starts
// from the default settings rather than from what an earlier window saved.
struct open_window {
    // Where this window's lines begin in the debug log, which grows across windows and runs.
    qint64 log_start = 0;
    kavrin* w;
    bool started;

    explicit open_window(bool keep_settings = false, bool keep_autosave = false)
        : w(make(keep_settings, keep_autosave)), started(w->startup()) {
        // An export takes the format it offers first, the scene's own, unless a test says.
        w->shelf().ask_format = [](const QStringList& offered) { return offered.first(); };
    }
    ~open_window() {
        // A test's strokes are not the artist's: closing asks nothing.
        w->mark_saved();
        w->close();
        delete w;
    }

    kavrin* make(bool keep_settings, bool keep_autosave) {
        if (!keep_settings) QFile::remove(tool_ini_path());
        // An earlier test that ended without closing would leave its strokes to recover.
        if (!keep_autosave) remove_autosave(QCoreApplication::applicationDirPath() + "/resource/");
        log_start =
            QFileInfo(QCoreApplication::applicationDirPath() + "/resource/debug.txt").size();
        return new kavrin;
    }

    // Turns the event loop until the scene has been built and stepped and its work is done.
    bool wait_for_scene() {
        for (int i = 0; i < 600; ++i) {
            if (w->scene() && w->scene()->built() && !w->scene()->has_pending_work() &&
                !w->link().panel_busy)
                return true;
            QTest::qWait(50);
        }
        return false;
    }
    int count(const QString& prefix) const {
        QFile file(w->paths().debug_txt);
        if (!file.open(QIODevice::ReadOnly) || !file.seek(log_start)) return -1;
        int n = 0;
        for (const QByteArray& line : file.readAll().split('\n'))
            if (line.startsWith(prefix.toUtf8())) ++n;
        return n;
    }
};

// Answers, with a mouse click on its button, the message box named name each time it shows;
// keeps the text it showed last.
struct answer {
    QTimer timer;
    QString text;
    int shown = 0;
    answer(const char* name, QMessageBox::StandardButton which) {
        QObject::connect(&timer, &QTimer::timeout, [this, name, which] {
            for (QWidget* top : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(top);
                if (!box || box->objectName() != name || !box->isVisible()) continue;
                ++shown;
                text = box->text();
                QTest::mouseClick(box->button(which), Qt::LeftButton);
                return;
            }
        });
        timer.start(20);
    }
};

// Share of the frame's particles that the viewport's last projection puts inside it.
inline double share_in_view(const kavrin& w, const frame_set& fs) {
    const projection p = w.viewport().current_projection();
    const QRectF view(0, 0, w.viewport().width(), w.viewport().height());
    int inside = 0;
    for (const auto& [id, particle] : fs.particles)
        if (view.contains(
                project_point(p, w.viewport().width(), w.viewport().height(), particle.position)))
            ++inside;
    return double(inside) / double(std::max<size_t>(1, fs.particles.size()));
}

}  // namespace kavrin::test
