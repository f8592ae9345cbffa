#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QPointer>

#include "scene/emitter.h"
#include "scene/threading.h"
#include "dynamics/octree.h"
#include "fake_window.h"

using namespace kavrin;

TEST(Dispatch, DealsRoundRobin) {
    auto shares = deal_indices(5, 3);
    ASSERT_EQ(shares.size(), 3u);
    EXPECT_EQ(shares[0], (std::vector<int>{0, 3}));
    EXPECT_EQ(shares[1], (std::vector<int>{1, 4}));
    EXPECT_EQ(shares[2], (std::vector<int>{2}));
    shares = deal_indices(2, 4);
    EXPECT_EQ(shares[0], std::vector<int>{0});
    EXPECT_EQ(shares[1], std::vector<int>{1});
    EXPECT_TRUE(shares[2].empty() && shares[3].empty());
    EXPECT_EQ(deal_indices(3, 0).size(), 1u);
}

struct job_fixture : ::testing::Test {
    test::fake_window window;
    emitter scene{false, &window};
    frame_set& fs = scene.add_frame(0);
};

TEST_F(job_fixture, WaitedJobVisitsEveryItemOnce) {
    std::vector<oct_tree> nodes(37);
    std::vector<oct_tree*> list;
    for (auto& n : nodes) {
        init(n, 1, 0.5f, vec3(float(list.size()), 0, 0), &fs);
        list.push_back(&n);
    }
    const job_args args{&list};
    run_jobs(job_receiver(), true, int(list.size()), 3, &fs, "frame_set", "update collision",
             &args);
    for (auto& n : nodes) {
        EXPECT_FALSE(n.dirty);
        EXPECT_EQ(n.centroid, centre(n));  // no members: the centre stands for the bounds
    }
    EXPECT_EQ(jobs_alive(&fs), 0);
}

TEST_F(job_fixture, ZeroItemsAndUnknownNamesDoNothing) {
    run_jobs(job_receiver(), true, 0, 4, &fs, "frame_set", "update collision", nullptr);
    EXPECT_EQ(jobs_alive(&fs), 0);
    oct_tree node;
    init(node, 1, 1.0f, vec3(), &fs);
    std::vector<oct_tree*> list{&node};
    const job_args args{&list};
    run_jobs(job_receiver(), true, 1, 1, &fs, "frame_set", "no such command", &args);
    run_jobs(job_receiver(), true, 1, 1, &fs, "nobody", "update collision", &args);
    EXPECT_TRUE(node.dirty);
    EXPECT_TRUE(window.log_lines().isEmpty());
}

TEST_F(job_fixture, FailingJobIsLoggedAndTheProgramGoesOn) {
    // A stroke without key state fails its strict look-up of "ctrl" on the worker.
    particle p(1, vec3(), 1.0f);
    stroke s;
    s.mode = brush_kind::grab;
    s.particles = {&p};
    s.falloff[1] = 1.0f;
    const job_args args{&s};
    run_jobs(job_receiver(), true, 1, 1, &fs, "frame_set", "deform particle", &args);
    EXPECT_EQ(window.count_lines("job error / deform particle / Unable to find key"), 1);

    // An index beyond the list and an argument of the wrong type end their jobs the same way.
    std::vector<oct_tree*> empty;
    const job_args short_list{&empty};
    run_jobs(job_receiver(), true, 1, 1, &fs, "frame_set", "update collision", &short_list);
    EXPECT_EQ(window.count_lines("job error / update collision / invalid vector<T> subscript"), 1);
    const job_args wrong{42};
    run_jobs(job_receiver(), true, 2, 2, &fs, "frame_set", "mid shape", &wrong);
    EXPECT_EQ(window.count_lines("job error / mid shape / bad cast"), 2);
}

TEST_F(job_fixture, UnwaitedThreadsAreDeletedAfterTheyFinish) {
    const job_args args{0, true, std::vector<int>{}, std::vector<int>{}};
    scene.trim_running = true;
    run_jobs(job_receiver(), false, 1, 1, &scene, "emitter", "remove undo", &args);
    wait_for_jobs(&scene);
    EXPECT_FALSE(scene.trim_running);
    for (int i = 0; i < 100 && jobs_alive(&scene) > 0; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(2);
    }
    EXPECT_EQ(jobs_alive(&scene), 0);
}

TEST(ShareLib, DeletesNothingForSendersThatAreNotWorkers) {
    share_lib receiver;
    auto* other = new QObject;
    QPointer<QObject> watch(other);
    QObject::connect(other, &QObject::objectNameChanged, &receiver, &share_lib::finalize_thread);
    other->setObjectName("not a worker");
    receiver.finalize_thread();  // no sender at all
    EXPECT_FALSE(watch.isNull());
    delete other;
}
