// The editing property: whatever the user does, in whatever order and at whatever speed, undoing
// everything gives back every frame exactly; and the session's stroke log, replayed on a fresh
// scene, gives every frame exactly as the session left it. Random GUI-like action runs drive the
// emitter through the entry points the viewport and the window use (and, on cache-like scenes,
// the values a script sets now and then): on cache-like scenes, on a fountain painted while a
// slow builder is still making it, with frames emptied by Remove and painted again, and with
// undos thrown at trims as they run.

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <optional>
#include <random>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QThread>

#include "scene/emitter.h"
#include "scene/replay.h"
#include "scene/set_values.h"
#include "dynamics/frame_step.h"
#include "scene/frame_schedule.h"
#include "fake_window.h"

using namespace kavrin;
using test::fake_window;
using test::tick_until;

namespace {

constexpr int frame_count = 24;
constexpr int per_frame = 160;
constexpr double gib = 1024.0 * 1024.0 * 1024.0;

// A cache-like scene: frame f holds ids 4f .. 4f + 159, each moving along its own line, so
// neighbouring frames share most of their particles.
void fill_frame(emitter& e, int f) {
    frame_set& fs = e.frame(f);
    for (int id = 4 * f; id < 4 * f + per_frame; ++id) {
        std::mt19937 r(uint32_t(id) * 2654435761u);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        const vec3 base(u(r), u(r) * 0.6f, u(r) * 0.3f), velocity(u(r), u(r), u(r));
        fs.particles.try_emplace(id, id, base + velocity * (0.02f * float(f)), 1.0f);
    }
}

// The particle value a stroke's mode changes: weight, scale or position.
int field_of(const stroke& s) {
    return s.mode == brush_kind::remove ? 0 : s.mode == brush_kind::scale ? 1 : 2;
}

bool same_values(const particle& a, const particle& b) {
    return a.id == b.id && a.position == b.position && a.weight == b.weight && a.scale == b.scale;
}

// A window whose generator draws slowly, as the fountain builder runs on a loaded machine.
class slow_window : public fake_window {
  public:
    std::atomic<int> draw_delay_us{0};
    double random() override {
        if (const int us = draw_delay_us) QThread::usleep(unsigned(us));
        return fake_window::random();
    }
};

enum class run_kind {
    cache,      // a cache-like scene, built before the first action
    fountain,   // a fountain scene, painted from its first built frame on while it is built
    emptied,    // a cache-like scene whose frames are now and then emptied and painted again
    trim_race,  // a cache-like scene short of memory, undone while trims run
};

// Every frame of a fountain scene of the given scale, built in one go and left unedited.
std::map<int, particle_map> built_fountain(int scale) {
    fake_window window;
    window.generation_scale = scale;
    emitter e(false, &window);
    e.build();
    std::map<int, particle_map> frames;
    if (!tick_until(e, [&e] { return e.built() && !e.has_pending_work(); }))
        return frames;
    e.jobs.wait();
    for (auto& [number, fs] : e.frames)
        frames[number] = fs.particles;
    return frames;
}

// The user's hands: mouse, keys and the window's buttons, as the viewport and window use them.
class editing_run {
  public:
    explicit editing_run(uint32_t seed, run_kind kind = run_kind::cache, int scale = 1)
        : random_(seed), kind_(kind), scale_(scale) {
        window_.cpu_count = 2;
        window_.on_read = fill_frame;
        window_.camera_state.focal_mag = 3.0f;
        window_.camera_state.brush_distance = 3.0f;
        window_.on_trim = [this](int frame, const stroke& dropped) {
            keep_trimmed(frame, dropped);
        };
        if (kind_ == run_kind::fountain) {
            // What undoing everything must give back: the scene built in one go, unedited.
            expected_ = built_fountain(scale);
            window_.generation_scale = scale;
            // About 8 ms a frame, whatever the scale: the build runs through most of the run.
            window_.draw_delay_us = 4000 / scale;
        } else {
            for (int f = 0; f < frame_count; ++f)
                window_.cache_files[f] = QString("cache.%1.bin").arg(f);
        }
        if (kind_ == run_kind::trim_race) window_.free_memory = 0.5 * gib;
        e_ = std::make_unique<emitter>(kind_ != run_kind::fountain, &window_);
        // A short idle wait lets background work cut in between the user's actions more often.
        e_->set_idle_threshold(2 + pick(14));
        e_->build();
        last_frame_ = e_->last_frame;
    }

    ::testing::AssertionResult run(int actions) {
        if (kind_ == run_kind::fountain) {
            // The hand starts at once, on a scene still being built.
            if (expected_.size() != e_->frames.size())
                return ::testing::AssertionFailure() << "the reference scene did not build";
        } else {
            if (!settle()) return ::testing::AssertionFailure() << "the scene did not build";
            for (auto& [number, fs] : e_->frames)
                expected_[number] = fs.particles;
        }
        for (auto& [number, frame] : expected_)
            for (const auto& [id, p] : frame)
                aims_[number].push_back(p.position);
        for (int i = 0; i < actions; ++i)
            act();
        if (held_) release();
        window_.on_eat = 0;
        window_.free_memory = 8.0 * gib;
        if (!settle()) return ::testing::AssertionFailure() << "the edits did not settle";
        if (auto replayed = replay_matches(); !replayed) return replayed;
        std::map<int, particle_map> painted;
        for (auto& [number, fs] : e_->frames)
            painted[number] = fs.particles;

        // Undoes or redoes `count` times, each taken at once and settled.
        auto steps = [this](int count, int (scene_history::*depth)() const,
                            void (emitter::*step)()) {
            const scene_history& history = e_->history();
            for (; count > 0; --count) {
                const int before = (history.*depth)();
                (e_.get()->*step)();
                if ((history.*depth)() != before - 1 || !settle()) return false;
            }
            return true;
        };
        const int painted_depth = e_->history().undo_depth();
        if (!steps(painted_depth, &scene_history::undo_depth, &emitter::undo))
            return ::testing::AssertionFailure() << "an undo was refused or did not settle";
        if (bad_trims_ > 0) return ::testing::AssertionFailure() << bad_trims_ << " bad trims";
        if (misrecorded_ > 0)
            return ::testing::AssertionFailure() << misrecorded_ << " strokes not kept as drawn";
        if (cancels_changed_ > 0)
            return ::testing::AssertionFailure() << cancels_changed_ << " cancels changed things";
        if (partly_brushed_ > 0)
            return ::testing::AssertionFailure()
                   << partly_brushed_
                   << " particles of emptied frames missed by a whole-frame brush";
        if (auto undone = compare(expected_, true); !undone) return undone;
        // And redoing what was just undone paints it all again, exactly.
        if (!steps(painted_depth, &scene_history::redo_depth, &emitter::redo))
            return ::testing::AssertionFailure() << "a redo was refused or did not settle";
        return compare(painted, false);
    }

  private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
    float draw(float lo, float hi) {
        return std::uniform_real_distribution<float>(lo, hi)(random_);
    }

    void act() {
        if (kind_ == run_kind::emptied && !held_ && ++since_emptied_ >= 10) {
            since_emptied_ = 0;
            empty_and_repaint();
            return;
        }
        if (!held_ && kind_ == run_kind::trim_race && pick(3) == 0) {
            // The hand waits for a trim to start and undoes while it runs.
            for (int i = 0; i < 20 && !e_->history().trimming(); ++i)
                ticks(1);
            e_->undo();
            return;
        }
        // Right after an undo the hand is often quick: no ticks, so the background has not yet
        // taken the undone stroke back from the frames it reached.
        const bool quick = hurry_ > 0;
        if (hurry_ > 0) --hurry_;
        const int roll = pick(quick ? 60 : 100);
        if (held_) {
            // The window refuses Ctrl+Z and frame changes while a drag is held.
            if (roll < 70)
                move();
            else if (roll < 83)
                release();
            else if (roll < 85)
                cancel();
            else
                ticks(1 + pick(3));
        } else if (roll < 35) {
            press();
        } else if (roll < 43) {
            e_->undo();
            if (pick(2) == 0) hurry_ = 8;
        } else if (roll < 47) {
            e_->redo();
        } else if (roll < 55) {
            // Mostly to a neighbour, as when scrubbing along the strokes just made; on a fountain
            // being built, mostly to the newest frames it built.
            const int near = std::clamp(window_.current_frame + pick(7) - 3, 0, last_frame_);
            if (kind_ == run_kind::fountain && pick(4) != 0)
                window_.current_frame = std::max(0, build_front() - pick(4));
            else
                window_.current_frame = pick(4) == 0 ? pick(last_frame_ + 1) : near;
        } else if (roll < 58) {
            window_.on_eat = 1 - window_.on_eat;
        } else if (roll < 60) {
            const bool low = kind_ == run_kind::trim_race ? pick(4) != 0 : pick(2) == 0;
            window_.free_memory = low ? 0.5 * gib : 8.0 * gib;
        } else if (roll < 90) {
            ticks(1 + pick(3));
        } else if (roll < 93 && kind_ != run_kind::fountain) {
            set_values();
        } else {
            ticks(10 + pick(30));
        }
    }

    void press() {
        // Brush settings change between strokes; workers read them only while a step runs.
        brush_values& b = window_.brush_state;
        b.type = brush_kinds[size_t(pick(5))];
        b.power = draw(0.2f, 1.0f);
        b.time = float(1 + pick(5));
        // Below one half a stroke stays on its frame, which may then be the newest one built.
        if (kind_ == run_kind::fountain && pick(3) == 0) b.time = 0.46f;
        b.space = draw(0.05f, 0.2f);
        buttons_.hard = pick(4) == 0;
        buttons_.side_left = pick(12) == 0;
        buttons_.side_right = pick(12) == 0;
        buttons_.mirror = pick(5) == 0;
        window_.set_key("ctrl", pick(4) == 0);
        window_.set_key("shift", pick(4) == 0);
        // On a fountain being built, mostly the frame just behind the build: the one the
        // builder reads next.
        if (kind_ == run_kind::fountain && pick(3) != 0) window_.current_frame = build_front();
        window_.view.drag_active = true;
        held_ = true;
        // What a cancel must give back, when no undo is still to be carried out on the frame
        // (and no worker is stepping it while it is copied).
        scene_frame& fs = e_->frame(window_.current_frame);
        pressed_depth_ = e_->history().undo_depth();
        pressed_.reset();
        const std::unique_lock<mutex> eating = fs.hold_particles(std::try_to_lock);
        if (eating.owns_lock() && !has_work(*e_, fs, work_kind::undo) &&
            !has_work(*e_, fs, work_kind::queued_stroke))
            pressed_ = fs.particles;
    }

    void cancel() {
        e_->cancel_stroke();
        window_.view.stroke_steps = 0;
        window_.view.drag_active = false;
        held_ = false;
        const frame_set& fs = e_->frame(window_.current_frame);
        if (e_->history().undo_depth() != pressed_depth_) ++cancels_changed_;
        if (!pressed_) return;
        for (const auto& [id, p] : fs.particles)
            if (!same_values(p, pressed_->at(id))) {
                ++cancels_changed_;
                return;
            }
    }

    void move() {
        e_->note_user_activity();  // every move over the viewport marks the user as active
        // A slow hand lets the last step finish; a fast one moves on while it runs.
        if (pick(2) == 0)
            while (window_.view.busy)
                QThread::yieldCurrentThread();
        if (window_.view.busy) return;
        const std::vector<vec3>& aims = aims_.at(window_.current_frame);
        const vec3 jitter(draw(-0.05f, 0.05f), draw(-0.05f, 0.05f), draw(-0.05f, 0.05f));
        window_.view.set_pick_point(pick(8) == 0 ? vec3(50, 50, 50)
                                                 : aims[size_t(pick(int(aims.size())))] + jitter);
        window_.brush_state.vector = normalise(vec3(draw(-1, 1), draw(-1, 1), draw(-1, 1)));
        e_->send_stroke_step(buttons_);
    }

    void release() {
        while (window_.view.busy)
            QThread::yieldCurrentThread();
        window_.view.stroke_steps = 0;
        const int depth = e_->history().undo_depth();
        e_->add_near(buttons_);
        if (e_->history().undo_depth() > depth) {
            // The stroke is kept under its own entry: its mode, not taken back.
            const history_hold held = e_->frame(window_.current_frame).read_history();
            const std::deque<stroke>& history = held.entries();
            if (history.empty() || history.back().undone ||
                history.back().mode != window_.brush_state.type)
                ++misrecorded_;
        }
        window_.view.drag_active = false;
        held_ = false;
    }

    // The newest frame of an unbroken run of built frames from the first.
    int build_front() const {
        int front = 0;
        for (const auto& [number, fs] : e_->frames) {
            if (!fs.initialised) break;
            front = number;
        }
        return front;
    }

    // One stroke of `steps` steps with a hard brush of full power over the whole of frame fs,
    // aimed at its middle; false when the frame did not take every step.
    bool whole_frame_stroke(const frame_set& fs, brush_kind mode, bool ctrl, int steps) {
        vec3 middle;
        for (const auto& [id, p] : fs.particles)
            middle += p.position;
        middle /= float(fs.particles.size());
        float reach = 0.0f;
        for (const auto& [id, p] : fs.particles)
            reach = std::max(reach, length(p.position - middle));
        brush_values& b = window_.brush_state;
        b.type = mode;
        b.power = 1.0f;
        b.time = float(1 + pick(3));
        b.space = (reach + 0.5f) / window_.camera_state.brush_distance;
        buttons_ = stroke_buttons();
        buttons_.hard = true;
        window_.set_key("ctrl", ctrl);
        window_.set_key("shift", false);
        window_.view.drag_active = true;
        held_ = true;
        pressed_.reset();
        bool taken = true;
        for (int i = 0; i < steps && taken; ++i) {
            e_->note_user_activity();
            window_.view.set_pick_point(middle);
            window_.brush_state.vector = normalise(vec3(draw(-1, 1), draw(-1, 1), draw(-1, 1)));
            taken = e_->send_stroke_step(buttons_);
            while (window_.view.busy)
                QThread::yieldCurrentThread();
        }
        release();
        return taken;
    }

    // Removes every particle of the current frame with a brush over all of it, then brushes the
    // emptied frame whole once more, with Ctrl+Remove or Scale: that brush must reach every
    // particle of it.
    void empty_and_repaint() {
        window_.on_eat = 0;
        if (!settle()) return;
        const frame_set& fs = e_->frame(window_.current_frame);
        // A particle above full weight needs a second pass to go.
        if (!whole_frame_stroke(fs, brush_kind::remove, false, 3) || !settle()) return;
        for (const auto& [id, p] : fs.particles)
            if (p.live()) return;
        const particle_map before = fs.particles;
        const bool scale = pick(2) == 0;
        if (!whole_frame_stroke(fs, scale ? brush_kind::scale : brush_kind::remove, !scale, 1)) return;
        for (const auto& [id, p] : fs.particles) {
            const particle& was = before.at(id);
            if (scale ? p.scale == was.scale : p.weight == was.weight) ++partly_brushed_;
        }
    }

    // Values a script gives some particles of the current frame, on the settled scene as a
    // session gives them.
    void set_values() {
        window_.on_eat = 0;
        if (!settle()) return;
        const frame_set& fs = e_->frame(window_.current_frame);
        log_event event;
        event.kind = event_kind::set;
        event.frame = window_.current_frame;
        event.channel = set_channel(pick(3));
        for (const auto& [id, p] : fs.particles) {
            if (pick(3) != 0) continue;
            event.ids.push_back(id);
            if (event.channel == set_channel::position)
                for (int k = 0; k < 3; ++k)
                    event.values.push_back(p.position[k] + draw(-0.1f, 0.1f));
            else
                event.values.push_back(event.channel == set_channel::scale ? draw(0.0f, 2.0f)
                                                                           : draw(-0.5f, 1.5f));
        }
        if (!event.ids.empty()) apply_set_values(*e_, event);
    }

    void ticks(int n) {
        for (int i = 0; i < n; ++i) {
            e_->tick();
            if (pick(3) == 0) QThread::msleep(1);
        }
    }

    bool settle() {
        return tick_until(*e_, [this] {
            return e_->built() && !e_->spreading() && !e_->history().trimming() &&
                   !e_->has_pending_work() && e_->jobs.alive() == 0;
        });
    }

    // A trimmed entry's change can no longer be undone: from now on undoing everything reaches,
    // for each value it recorded, the value the next older entry recorded, or the present one.
    void keep_trimmed(int frame, const stroke& dropped) {
        const scene_frame& fs = e_->frame(frame);
        // The trim reports the entry with the frame's history lock held.
        const std::deque<stroke>& history = fs.history_held();
        // A trim that runs while the user undoes: the undo must come wholly before or after.
        if (kind_ == run_kind::trim_race) QThread::usleep(300);
        // Only the oldest entry goes, and never one that an undo still has to take back or is
        // taking back.
        if (dropped.undone || &history.front() != &dropped ||
            dropped.depth >= e_->history().undo_depth())
            ++bad_trims_;
        for (const auto& entry : dropped.recorded) {
            const int32_t id = entry.first;
            particle& want = expected_[frame].at(id);
            const particle& now = fs.particles.at(id);
            const stroke_value* later = nullptr;
            for (size_t i = 1; i < history.size() && !later; ++i) {
                const stroke& h = history[i];
                if (field_of(h) == field_of(dropped) && h.recorded.count(id))
                    later = &h.recorded.at(id);
            }
            const stroke_value value = later ? *later : dropped.value_of(now);
            if (field_of(dropped) == 2)
                want.position = std::get<vec3>(value);
            else
                (field_of(dropped) == 0 ? want.weight : want.scale) = std::get<float>(value);
        }
        ++trims_;
    }

    // The log, written out and read back, replayed on a fresh scene with another thread count and
    // background work that never overlaps the user's actions.
    ::testing::AssertionResult replay_matches() {
        const std::vector<log_event> events = e_->recorder.events();
        QString error;
        const auto read = read_stroke_log(stroke_log_json(events), &error);
        if (!read) return ::testing::AssertionFailure() << error.toStdString();
        if (*read != events) return ::testing::AssertionFailure() << "the log reads back changed";
        fake_window again;
        again.cpu_count = 1 + pick(3);
        again.cache_files = window_.cache_files;
        again.on_read = fill_frame;
        again.generation_scale = scale_;
        emitter replayed(kind_ != run_kind::fountain, &again);
        replayed.set_idle_threshold(1);
        replayed.build();
        try {
            ::kavrin::settle(replayed, again);
            for (const log_event& event : *read)
                replay(replayed, again, event);
        } catch (const replay_error& err) {
            const QString kept = QDir::temp().filePath(
                QString("kavrin-editing-%1.strokes.json").arg(QCoreApplication::applicationPid()));
            QFile file(kept);
            if (file.open(QIODevice::WriteOnly)) file.write(stroke_log_json(events));
            return ::testing::AssertionFailure()
                   << "replay: " << err.what() << " (the log: " << kept.toStdString() << ")";
        }
        if (replayed.recorder.events() != events)
            return ::testing::AssertionFailure() << "the replay recorded another log";
        for (auto& [number, fs] : e_->frames) {
            const particle_map& got = replayed.frame(number).particles;
            for (const auto& [id, p] : fs.particles)
                if (!got.count(id) || !same_values(got.at(id), p))
                    return ::testing::AssertionFailure()
                           << "replayed frame " << number << " differs at particle " << id
                           << " after " << events.size() << " events";
        }
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult compare(const std::map<int, particle_map>& want_all,
                                       bool histories_empty) {
        if (window_.count_lines("job error") > 0)
            return ::testing::AssertionFailure() << window_.log_lines().join("\n").toStdString();
        for (auto& [number, fs] : e_->frames) {
            if ((histories_empty && !fs.read_history().entries().empty()) ||
                fs.stroke_queued(busy_lock::wait))
                return ::testing::AssertionFailure() << "frame " << number << " keeps strokes";
            const particle_map& want = want_all.at(number);
            if (fs.particles.size() != want.size())
                return ::testing::AssertionFailure() << "frame " << number << " particle count";
            int different = 0;
            for (const auto& [id, p] : fs.particles) {
                auto w = want.find(id);
                if (w == want.end() || !same_values(p, w->second)) ++different;
            }
            if (different > 0)
                return ::testing::AssertionFailure()
                       << different << " particles differ on frame " << number << " after "
                       << trims_ << " trims" << (histories_empty ? "" : " (redo)");
        }
        return ::testing::AssertionSuccess();
    }

    slow_window window_;
    std::unique_ptr<emitter> e_;
    std::mt19937 random_;
    const run_kind kind_;
    const int scale_;  // particles a fountain frame emits
    int last_frame_ = 0;
    std::map<int, particle_map> expected_;   // the frames that undoing everything must give back
    std::map<int, std::vector<vec3>> aims_;  // where the brush is aimed, per frame
    std::optional<particle_map> pressed_;    // the stroke's frame at the press
    int pressed_depth_ = 0;
    int cancels_changed_ = 0;
    int trims_ = 0;
    int bad_trims_ = 0;
    int misrecorded_ = 0;  // strokes whose history entry was not their own
    int partly_brushed_ = 0;
    bool held_ = false;
    stroke_buttons buttons_;  // as the artist set them at the last press
    int hurry_ = 0;  // actions left in a quick run after an undo
    int since_emptied_ = 0;
};

int from_environment(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value ? std::atoi(value) : fallback;
}

}  // namespace

// A few fixed seeds in every test run; KAVRIN_EDIT_SEEDS and KAVRIN_EDIT_ACTIONS make it a soak.
TEST(EditingProperty, UndoingEverythingGivesBackEveryFrame) {
    const int seeds = from_environment("KAVRIN_EDIT_SEEDS", 5);
    const int actions = from_environment("KAVRIN_EDIT_ACTIONS", 300);
    for (int seed = 1; seed <= seeds; ++seed) {
        editing_run run{uint32_t(seed)};
        EXPECT_TRUE(run.run(actions)) << "seed " << seed;
    }
}

// A fountain painted from its first built frame on, while a builder slower than the hand is still
// making the frames after it, at several generation scales.
TEST(EditingProperty, PaintingWhileAFountainIsBuiltChangesOnlyWhatWasPainted) {
    const int seeds = from_environment("KAVRIN_EDIT_SEEDS", 2);
    const int actions = from_environment("KAVRIN_EDIT_ACTIONS", 200);
    for (int scale : {1, 4, 16})
        for (int seed = 1; seed <= seeds; ++seed) {
            editing_run run{uint32_t(seed), run_kind::fountain, scale};
            EXPECT_TRUE(run.run(actions)) << "scale " << scale << ", seed " << seed;
        }
}

TEST(EditingProperty, EmptiedFramesArePaintedWhole) {
    const int seeds = from_environment("KAVRIN_EDIT_SEEDS", 3);
    const int actions = from_environment("KAVRIN_EDIT_ACTIONS", 200);
    for (int seed = 1; seed <= seeds; ++seed) {
        editing_run run{uint32_t(seed), run_kind::emptied};
        EXPECT_TRUE(run.run(actions)) << "seed " << seed;
    }
}

TEST(EditingProperty, UndoDuringATrimComesWhollyBeforeOrAfterIt) {
    const int seeds = from_environment("KAVRIN_EDIT_SEEDS", 3);
    const int actions = from_environment("KAVRIN_EDIT_ACTIONS", 200);
    for (int seed = 1; seed <= seeds; ++seed) {
        editing_run run{uint32_t(seed), run_kind::trim_race};
        EXPECT_TRUE(run.run(actions)) << "seed " << seed;
    }
}
