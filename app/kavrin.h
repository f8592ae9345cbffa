#pragma once
// The main window: owns the scene's emitter and everything the user works with, and offers the
// emitter and its workers the window link.

#include <memory>
#include <random>

#include <QMainWindow>
#include <QMutex>
#include <QString>

#include "core/emitter.h"
#include "core/window_link.h"

namespace kavrin {

class kavrin : public QMainWindow, public window_link {
    Q_OBJECT
public:
    kavrin();
    ~kavrin() override;

    // Folders end with "/".
    const QString revision = "0022";
    QString app_dir, resource_dir, image_dir, python_dir, tool_ini, default_ini, debug_txt;

    bool startup();

    // Window link.
    brush_values brush() const override;
    camera_values camera() const override;
    void log(const QString& line) override;
    double random() override;
    void write_cache_frame(emitter& e, int frame) override;
    void read_cache_frame(emitter& e, int frame) override;

    std::unique_ptr<emitter> scene;  // the current emitter

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QMutex log_lock;     // guards appends to debug_txt
    QMutex random_lock;  // guards the generator
    std::mt19937 generator;
    std::uniform_real_distribution<double> uniform{0.1, 1.0};
};

}  // namespace kavrin
