// The stroke log: its JSON form reads back exactly, bad documents are refused with the place or
// the field, and a replay refuses events the scene cannot take as they were recorded.

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include <QJsonDocument>

#include "scene/replay.h"
#include "scene/stroke_log.h"
#include "fake_window.h"

using namespace kavrin;

namespace {

// Random events of every kind, with awkward floats and steps whose brush or camera change
// mid-stroke.
std::vector<log_event> random_events(uint32_t seed) {
    std::mt19937 r(seed);
    auto pick = [&r](int n) { return std::uniform_int_distribution<int>(0, n - 1)(r); };
    auto any_float = [&r, &pick] {
        switch (pick(4)) {
            case 0:
                return std::uniform_real_distribution<float>(-1, 1)(r);
            case 1:  // a whole range of exponents
                return std::ldexp(std::uniform_real_distribution<float>(1, 2)(r), pick(80) - 40);
            case 2:
                return std::numeric_limits<float>::denorm_min() * float(pick(100));
            default:
                return std::nextafter(float(pick(10)), 100.0f);
        }
    };
    auto any_vec = [&] { return vec3(any_float(), any_float(), any_float()); };
    std::vector<log_event> events;
    for (int i = 0; i < 40; ++i) {
        log_event e;
        e.kind = event_kind(pick(6));
        e.frame = pick(200) - 20;
        if (e.kind == event_kind::trim) e.depth = pick(50);
        if (e.kind == event_kind::set) {
            e.channel = set_channel(pick(3));
            for (int k = 0, n = 1 + pick(30); k < n; ++k)
                e.ids.push_back(k * 3 - pick(3) - 40);
            for (size_t k = 0; k < e.ids.size() * size_t(set_channel_width(e.channel)); ++k)
                e.values.push_back(std::fabs(any_float()) *
                                   (e.channel == set_channel::scale ? 1 : -1));
        }
        if (e.kind == event_kind::stroke) {
            step_inputs s;
            s.frame = e.frame;
            s.brush.type = brush_kinds[size_t(pick(5))];
            s.brush.power = std::uniform_real_distribution<float>(0.01f, 1.0f)(r);
            s.brush.space = 0.01f + std::fabs(any_float());
            s.brush.time = std::uniform_real_distribution<float>(0.0001f, 30.0f)(r);
            s.brush.near_curve = pick(40);
            s.brush.select_curve = pick(40);
            s.camera.focal_mag = 0.1f + std::fabs(any_float());
            s.camera.brush_distance = 0.1f + std::fabs(any_float());
            s.camera.position = any_vec();
            s.camera.scene_view = pick(2);
            s.camera.scene_eye = any_vec();
            s.keys.set("ctrl", pick(2));
            s.keys.set("shift", pick(2));
            s.hard = pick(2);
            s.side_left = pick(2);
            s.side_right = pick(2);
            s.mirror = pick(2);
            const int steps = 1 + pick(6);
            for (int k = 0; k < steps; ++k) {
                s.pick = any_vec();
                s.brush.vector = any_vec();
                if (pick(4) == 0)
                    s.brush.power = std::uniform_real_distribution<float>(0.01f, 1)(r);
                if (pick(5) == 0) s.camera.focal_mag = 0.5f + std::fabs(any_float());
                e.steps.push_back(s);
            }
            if (pick(5) > 0)
                e.end = stroke_end{bool(pick(2)), s.brush.time + 1.0f, pick(40), bool(pick(2)),
                                   bool(pick(2))};
        }
        events.push_back(std::move(e));
    }
    return events;
}

QByteArray with_event(const char* event) {
    return QByteArray(R"({"format": "kavrin stroke log", "version": 1, "events": [)") + event +
           "]}";
}

const char* good_stroke =
    R"({"event":"stroke","frame":3,"type":"grab","power":0.5,"space":0.1,"time":2,)"
    R"("near_curve":19,"select_curve":19,"hard":false,"left":false,"right":false,"mirror":false,)"
    R"("keys":{"alt":false,"ctrl":false,"shift":false},"camera":{"focal_mag":3,)"
    R"("brush_distance":3,"position":[0,0,3],"scene_view":false,"scene_eye":[0,0,0]},)"
    R"("steps":[{"pick":[0,0,0],"vector":[1,0,0]}],)"
    R"("end":{"drew":true,"time":2,"near_curve":19,"left":false,"right":false}})";

QByteArray stroke_with(const QString& from, const QString& to) {
    return with_event(QString(good_stroke).replace(from, to).toUtf8().constData());
}

}  // namespace

TEST(StrokeLog, EveryEventReadsBackExactly) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        const std::vector<log_event> events = random_events(seed);
        QString error;
        const auto read = read_stroke_log(stroke_log_json(events), &error);
        ASSERT_TRUE(read) << error.toStdString();
        ASSERT_EQ(read->size(), events.size());
        for (size_t i = 0; i < events.size(); ++i)
            EXPECT_TRUE((*read)[i] == events[i]) << "seed " << seed << " event " << i;
    }
    QString error;
    EXPECT_TRUE(read_stroke_log(with_event(good_stroke), &error)) << error.toStdString();
}

TEST(StrokeLog, BadDocumentsNameThePlaceOrTheField) {
    const std::pair<QByteArray, const char*> cases[] = {
        {"{\n  \"format\": \"kavrin stroke log\",\n  \"version\": 1\n  \"events\": []}",
         "line 4, column"},
        {R"({"format": "something else", "version": 1, "events": []})", "format: must be"},
        {R"({"format": "kavrin stroke log", "version": 3, "events": []})",
         "version: 3 is newer than this program reads (2)"},
        {R"({"format": "kavrin stroke log", "version": 1})", "events: is missing"},
        {with_event(R"({"event": "paint", "frame": 1})"), "events[0].event: must be one of"},
        {with_event(R"({"event": "undo"})"), "events[0].frame: is missing"},
        {with_event(R"({"event": "trim", "frame": 1, "depth": -1})"), "events[0].depth: must be"},
        {with_event(R"({"event": "undo", "frame": 1.5})"), "events[0].frame: must be a whole"},
        {stroke_with("\"power\":0.5", "\"power\":5"), "events[0].power: must be a number from"},
        {stroke_with("\"time\":2,\"near", "\"time\":1e9,\"near"), "events[0].time: must be"},
        {stroke_with("\"grab\"", "\"smudge\""), "events[0].type: must be one of"},
        {stroke_with("\"hard\":false", "\"hard\":0"), "events[0].hard: must be true or false"},
        {stroke_with("\"hard\":false", "\"hrad\":false"), "events[0].hard: is missing"},
        {stroke_with("\"mirror\":false", "\"mirror\":false,\"colour\":1"),
         "events[0].colour: is not a field"},
        {stroke_with("\"pick\":[0,0,0]", "\"pick\":[0,0]"),
         "events[0].steps[0].pick: must be a list of 3 numbers"},
        {stroke_with("\"pick\":[0,0,0]", "\"pick\":[0,0,1e39]"), "events[0].steps[0].pick[2]"},
        {stroke_with("\"vector\":[1,0,0]", "\"vector\":[1,0,0],\"frame\":4"),
         "events[0].steps[0].frame: must be the stroke's frame"},
        {stroke_with("\"focal_mag\":3", "\"focal_mag\":0"),
         "events[0].camera.focal_mag: must be a positive number"},
        {stroke_with("\"shift\":false", "\"shift\":null"), "events[0].keys.shift"},
        {stroke_with("\"steps\":[{\"pick\":[0,0,0],\"vector\":[1,0,0]}]", "\"steps\":[]"),
         "events[0].steps: must be a list of at least one step"},
        {stroke_with("\"drew\":true,", ""), "events[0].end.drew: is missing"},
        // What Qt's reader lets pass but JSON is not, and values no replay can take.
        {stroke_with("\"power\":0.5", "\"power\":.5"), "digits before its decimal point"},
        {stroke_with("\"power\":0.5", "\"power\":1."), "digits after its decimal point"},
        {stroke_with("\"power\":0.5", "\"power\":1.e0"), "digits after its decimal point"},
        {stroke_with("\"grab\"", "\"gr\tab\""), "raw control character"},
        {stroke_with("\"near_curve\":19", "\"near_curve\":46"), "events[0].near_curve: must be"},
        {stroke_with("\"vector\":[1,0,0]", "\"vector\":[3e38,0,0]"),
         "events[0].steps[0].vector[0]: must be a number from"},
        {QByteArray(R"({"format": "kavrin stroke log", "version": 2, "events": [)"
                    R"({"event":"set","frame":1,"channel":"scale","ids":[4,4],"values":[1,2]}]})"),
         "events[0].ids[1]: repeats particle 4"},
        {with_event(R"({"event":"set","frame":1,"channel":"weight","ids":[4],"values":[1]})"),
         "events[0]: a set event needs a log of version 2"},
    };
    for (const auto& [json, expected] : cases) {
        QString error;
        EXPECT_FALSE(read_stroke_log(json, &error)) << expected;
        EXPECT_TRUE(error.contains(expected)) << error.toStdString() << " / " << expected;
    }
}

TEST(StrokeLog, AScriptsStrokeMayLeaveOutWhatHasADefault) {
    QString error;
    const auto minimal =
        read_stroke(QJsonDocument::fromJson(R"({"frame": 2, "type": "scale", "time": 3,
                                    "camera": {"focal_mag": 2},
                                    "steps": [{"pick": [1, 2, 3]}, {"pick": [1, 2, 4], "power": 0.25}]})")
                        .object(),
                    &error);
    ASSERT_TRUE(minimal) << error.toStdString();
    ASSERT_EQ(minimal->steps.size(), 2u);
    const step_inputs& first = minimal->steps[0];
    EXPECT_EQ(first.brush.power, brush_values().power);
    EXPECT_EQ(first.camera.brush_distance, 2.0f);  // the focal distance, as without a scene camera
    EXPECT_EQ(first.brush.vector, vec3());
    EXPECT_FALSE(first.keys.at("ctrl"));
    EXPECT_EQ(minimal->steps[1].brush.power, 0.25f);
    ASSERT_TRUE(minimal->end);
    EXPECT_EQ(minimal->end->time, 3.0f);  // from the stroke
    EXPECT_FALSE(minimal->drew_known);

    EXPECT_FALSE(
        read_stroke(QJsonDocument::fromJson(R"({"frame": 2, "steps": []})").object(), &error));
    EXPECT_EQ(error, "type: is missing");
}

TEST(StrokeLog, RecorderOpensClosesAndCancelsStrokes) {
    stroke_log log;
    step_inputs s;
    s.frame = 4;
    stroke_end drew, missed;
    drew.drew = true;
    log.end_stroke(drew);  // no stroke open: nothing to end
    log.step(s);
    log.step(s);
    log.trim(9, 0);  // a trim while the stroke is open goes after it
    log.end_stroke(drew);
    log.step(s);
    log.cancel(4);
    log.end_stroke(missed);
    log.undo(4);
    const std::vector<log_event> e = log.events();
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(e[0].steps.size(), 2u);
    EXPECT_TRUE(e[0].end && e[0].end->drew);
    EXPECT_EQ(e[1].kind, event_kind::trim);
    EXPECT_FALSE(e[2].end);
    EXPECT_EQ(e[3].kind, event_kind::cancel);
    EXPECT_EQ(e[4].kind, event_kind::undo);
}

TEST(Replay, RefusesWhatTheSceneCannotTakeAsRecorded) {
    test::fake_window w;
    w.generation_scale = 1;
    emitter e(false, &w);
    e.set_idle_threshold(1);
    e.build();
    settle(e, w);
    EXPECT_EQ(e.jobs.alive(), 0);  // settle returns once every task has ended

    log_event undo;
    undo.kind = event_kind::undo;
    undo.frame = 10;
    EXPECT_THROW(replay(e, w, undo), replay_error);  // nothing to undo

    log_event stroke;
    stroke.frame = 500;
    step_inputs s;
    s.frame = 500;
    s.brush.type = brush_kind::grab;
    stroke.steps.push_back(s);
    EXPECT_THROW(replay(e, w, stroke), replay_error);  // no such frame

    // A stroke that brushes nothing cannot have drawn.
    stroke.frame = stroke.steps[0].frame = 50;
    stroke.steps[0].pick = vec3(40, 40, 40);
    stroke.end = stroke_end{true, 1.0f, 19, false, false};
    EXPECT_THROW(replay(e, w, stroke), replay_error);
    EXPECT_EQ(e.history().undo_depth(), 0);

    log_event trim;
    trim.kind = event_kind::trim;
    trim.frame = 50;
    EXPECT_THROW(replay(e, w, trim), replay_error);
    EXPECT_FALSE(w.view.drag_active);
}
