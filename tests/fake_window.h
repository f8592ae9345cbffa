#pragma once
// A plain window for tests: records the log, hands out the brush and camera values a test sets,
// and lets each test fill the cache and memory seams.

#include <functional>
#include <random>
#include <vector>

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>

#include "scene/emitter.h"
#include "scene/headless_link.h"

namespace kavrin::test {

class fake_window : public headless_link {
  public:
    fake_window() { brush_state.type = brush_kind::grab; }

    std::atomic<double> free_memory{8.0 * 1024 * 1024 * 1024};
    std::function<void(emitter&, int)> on_write, on_read;
    std::function<void(int, const stroke&)> on_trim;

    void log(const QString& line) override {
        headless_link::log(line);
        QMutexLocker hold(&lines_lock);
        lines.push_back(line);
    }
    double random() override {
        QMutexLocker hold(&lines_lock);
        return uniform(generator);
    }
    void write_cache_frame(emitter& e, int frame) override {
        if (on_write) on_write(e, frame);
    }
    void read_cache_frame(emitter& e, int frame) override {
        if (on_read) on_read(e, frame);
    }
    double available_memory() const override { return free_memory; }
    // Follows the scene's work as the window's side panel does.
    std::atomic<bool> panel_busy{false};
    void work_started() override { panel_busy = true; }
    void work_ended() override { panel_busy = false; }
    void undo_trimmed(int frame, const stroke& dropped) override {
        if (on_trim) on_trim(frame, dropped);
    }

    QStringList log_lines() {
        QMutexLocker hold(&lines_lock);
        return lines;
    }
    int count_lines(const QString& prefix) {
        int n = 0;
        for (const QString& l : log_lines())
            if (l.startsWith(prefix)) ++n;
        return n;
    }

  private:
    QMutex lines_lock;  // guards lines and the generator
    QStringList lines;
    std::mt19937 generator{12345};
    std::uniform_real_distribution<double> uniform{0.1, 1.0};
};

// Ticks e as the frame timer would until done() or the tick budget runs out; returns whether
// done() became true.
template <class Done>
bool tick_until(emitter& e, Done done, int max_ticks = 20000) {
    for (int i = 0; i < max_ticks; ++i) {
        if (done()) return true;
        e.tick();
        QThread::msleep(1);
    }
    return done();
}

}  // namespace kavrin::test
