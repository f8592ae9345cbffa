#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <unordered_map>

#include "base/cell_key.h"
#include "base/key_state.h"
#include "base/particle.h"
#include "base/rotation.h"
#include "base/strict.h"
#include "dynamics/stroke.h"

using namespace kavrin;

TEST(Vec3, NormaliseLeavesZeroAlone) {
    EXPECT_EQ(normalise(vec3()), vec3());
    const vec3 n = normalise(vec3(3, 0, 4));
    EXPECT_FLOAT_EQ(n[0], 0.6f);
    EXPECT_FLOAT_EQ(n[2], 0.8f);
    EXPECT_FLOAT_EQ(length(vec3(1, 2, 2)), 3.0f);
}

TEST(CellKey, FloorsAndShowsLikeTheTextForm) {
    EXPECT_EQ(key_text(make_key(vec3(1.7f, 0.0f, -0.2f))), "1,0,-1");
    EXPECT_EQ(make_key(vec3(-0.0f, 2.0f, -1.0f)), make_key(0, 2, -1));
    // Above a million the text keeps 6 significant digits, and so does the key: values that the
    // text cannot tell apart share a key, others do not.
    EXPECT_EQ(make_key(vec3(1234567.0f, 0, 0)), make_key(vec3(1234571.0f, 0, 0)));
    EXPECT_NE(make_key(vec3(1234567.0f, 0, 0)), make_key(vec3(1234599.0f, 0, 0)));
    EXPECT_EQ(key_text(make_key(vec3(1234567.0f, 0, 0))), "1.23457e+06,0,0");
    EXPECT_NE(make_key(vec3(999999.0f, 0, 0)), make_key(vec3(999998.0f, 0, 0)));
}

TEST(CellKey, IntegerKeysMatchTextKeysOverARange) {
    // Property: two vectors share an integer key exactly when their text keys are equal.
    std::map<QString, cell_key> seen;
    for (float x = -1500000.0f; x < 1500000.0f; x += 3711.37f) {
        const vec3 v(x, x * 0.5f, -x);
        const cell_key k = make_key(v);
        const QString text = QString::number(std::floor(v[0]), 'g', 6) + "," +
                             QString::number(std::floor(v[1]), 'g', 6) + "," +
                             QString::number(std::floor(v[2]), 'g', 6);
        EXPECT_EQ(key_text(k), text);
        auto [it, fresh] = seen.emplace(text, k);
        if (!fresh) {
            EXPECT_EQ(it->second, k);
        }
    }
}

TEST(PointBox, EmptyAndFilled) {
    point_box empty;
    EXPECT_EQ(empty.min, vec3(1000000, 1000000, 1000000));
    EXPECT_EQ(empty.max, vec3(-1000000, -1000000, -1000000));
    point_box box;
    box.add(vec3(1, 2, 3));
    box.add(vec3(-1, 5, 3));
    EXPECT_EQ(box.min, vec3(-1, 2, 3));
    EXPECT_EQ(box.max, vec3(1, 5, 3));
    EXPECT_FLOAT_EQ(box.scale()[2], 0.000001f);
    EXPECT_FLOAT_EQ(box.largest_scale(), 3.000001f);
}

TEST(Strict, MissingKeyMessage) {
    // The message names the key and the container, whatever the key's type.
    auto message = [](auto&& lookup) {
        try {
            lookup();
        } catch (const std::out_of_range& e) {
            return std::string(e.what());
        }
        return std::string("found");
    };
    std::map<int, int> numbers;
    std::unordered_map<cell_key, int, cell_key_hash> cells;
    std::map<std::string, int> names;
    EXPECT_EQ(message([&] { strict_at(numbers, 4, "the numbers"); }),
              "Unable to find key 4 in the numbers.");
    EXPECT_EQ(message([&] { strict_at(cells, make_key(vec3(1.5f, 0, -0.5f)), "the cells"); }),
              "Unable to find key 1,0,-1 in the cells.");
    EXPECT_EQ(message([&] { strict_at(names, std::string("core"), "the facts"); }),
              "Unable to find key \"core\" in the facts.");
    key_state empty;
    EXPECT_EQ(message([&] { empty.at("ctrl"); }), "Unable to find key \"ctrl\" in the key state.");
    key_state keys = key_state::released();
    keys.set("shift", true);
    EXPECT_FALSE(keys.at("ctrl"));
    EXPECT_TRUE(keys.at("shift"));
}

TEST(Particle, CopiesAreIndependent) {
    particle a(7, vec3(1, 2, 3), 0.5f);
    particle b = a;
    b.position[0] = 9;
    b.rest_position[1] = 9;
    b.normal[2] = 9;
    EXPECT_EQ(a.position, vec3(1, 2, 3));
    EXPECT_EQ(a.rest_position, vec3(1, 2, 3));
    EXPECT_EQ(a.normal, vec3());
    EXPECT_EQ(b.rest_scale, 0.5f);
}

TEST(Stroke, DefaultsRecordAndCopy) {
    stroke s;
    EXPECT_EQ(s.weight, 1.0f);
    EXPECT_EQ(s.amount, 1.0f);
    EXPECT_FALSE(s.undone || s.targeted || s.restore);

    s.mode = brush_kind::grab;
    particle p(3, vec3(1, 1, 1), 1.0f);
    std::vector<particle*> list{&p};
    s.record(list, false);
    p.position = vec3(5, 5, 5);
    s.record(list, false);  // the first value recorded is kept
    EXPECT_EQ(value_as<vec3>(s.recorded.at(3)), vec3(1, 1, 1));
    EXPECT_THROW(value_as<float>(s.recorded.at(3)), std::bad_cast);

    s.particles = list;
    s.falloff[3] = 0.5f;
    s.keys = key_state::released();
    stroke copy = s;
    copy.particles.clear();
    copy.recorded.clear();
    EXPECT_EQ(s.particles.size(), 1u);
    EXPECT_EQ(s.recorded.size(), 1u);
    EXPECT_EQ(copy.falloff.at(3), 0.5f);
    EXPECT_EQ(copy.keys, s.keys);

    stroke scale;
    scale.mode = brush_kind::scale;
    p.scale = 0.25f;
    scale.record(list, true);
    EXPECT_EQ(value_as<float>(scale.recorded.at(3)), 0.25f);
}

TEST(Rotation, QuarterTurnsAndZero) {
    const vec3 r = rotate(vec3(1, 0, 0), vec3(0, 0, 2), 90.0f);
    EXPECT_NEAR(r[0], 0.0f, 1e-6f);
    EXPECT_NEAR(r[1], 1.0f, 1e-6f);
    EXPECT_EQ(rotate(vec3(), vec3(0, 1, 0), 30.0f), vec3());
    const vec3 half = rotate(vec3(0, 0, 1), vec3(1, 0, 0), 0.5f);
    EXPECT_NEAR(std::acos(half[2]) * 180.0 / M_PI, 0.5, 1e-3);
}
