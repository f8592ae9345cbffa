#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "scene/emitter.h"
#include "base/parallel.h"
#include "base/strict.h"
#include "dynamics/deform.h"
#include "dynamics/octree.h"
#include "fake_window.h"

using namespace kavrin;

namespace {

// Sums of the items' values per share, as the shares computed them.
std::vector<float> share_sums(const std::vector<float>& values, int threads) {
    std::vector<float> sums(size_t(std::max(1, threads)), 0.0f);
    std::vector<int> visits(values.size(), 0);
    parallel_for({"sum", nullptr}, int(values.size()), threads, [&](const share& s) {
        int first = -1;
        float sum = 0.0f;
        for (int i : s) {
            if (first < 0) first = i;
            sum += values[size_t(i)];
            ++visits[size_t(i)];  // each item belongs to one share: no two threads write it
        }
        sums[size_t(first)] = sum;  // share k starts at item k
    });
    for (int v : visits)
        EXPECT_EQ(v, 1);
    return sums;
}

}  // namespace

// Each share is item k, k + threads, ... in ascending order on one thread, for any thread count
// (past the pool's limit too): what a share adds up is the same bits as a plain loop dealing
// the items that way.
TEST(Parallel, SharesAddUpAsAPlainLoopDealingRoundRobin) {
    std::vector<float> values;
    for (int i = 0; i < 1000; ++i)
        values.push_back(1.0f / float(i + 3) + float(i % 7) * 1e3f);
    for (int threads : {0, 1, 2, 3, 5, 12, pool_limit() + 3, 999, 1000, 5000}) {
        std::vector<float> expected(size_t(std::max(1, threads)), 0.0f);
        for (size_t i = 0; i < values.size(); ++i)
            expected[i % expected.size()] += values[i];
        EXPECT_EQ(share_sums(values, threads), expected) << threads << " threads";
    }
    int calls = 0;
    parallel_for({"none", nullptr}, 0, 4, [&](const share&) { ++calls; });
    EXPECT_EQ(calls, 0);
}

// Far more shares and tasks than the pool has threads, waited jobs nested in shares and tasks:
// everything is queued and done, nothing refused.
TEST(Parallel, MoreWorkThanThreadsIsQueuedAndDone) {
    std::atomic<long long> items{0};
    parallel_for({"many", nullptr}, 200000, 100000, [&](const share& s) {
        for (int i : s)
            items += i;
    });
    EXPECT_EQ(items.load(), 200000LL * 199999 / 2);

    std::atomic<int> inner{0};
    job_group group;
    for (int t = 0; t < 3 * pool_limit(); ++t)
        post({"task", nullptr}, group, [&] {
            parallel_for({"outer", nullptr}, 16, 16, [&](const share&) {
                parallel_for({"inner", nullptr}, 8, 8, [&](const share&) { ++inner; });
            });
        });
    group.wait();
    EXPECT_EQ(group.alive(), 0);
    EXPECT_EQ(inner.load(), 3 * pool_limit() * 16 * 8);
}

// A number of /proc/self/status, such as "VmSize:" (in KiB) or "Threads:".
long long status_value(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stoll(line.substr(field.size()));
    return 0;
}

// With no room left for a thread's stack the system refuses every worker: the waited job is
// done by its caller, the posted task by its poster.
TEST(Parallel, WorkIsDoneWhenTheSystemRefusesThreads) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, its pool not started
    const auto refused = [] {
        const rlimit cap{rlim_t(status_value("VmSize:") * 1024 + (4 << 20)), RLIM_INFINITY};
        setrlimit(RLIMIT_AS, &cap);
        std::atomic<int> items{0};
        parallel_for({"refused", nullptr}, 1000, 8, [&](const share& s) {
            for (int i : s)
                items += i < 1000;
        });
        job_group group;
        std::atomic<bool> ran{false};
        post({"refused", nullptr}, group, [&] { ran = true; });
        group.wait();
        std::_Exit(items == 1000 && ran && status_value("Threads:") == 1 ? 0 : 1);
    };
    EXPECT_EXIT(refused(), ::testing::ExitedWithCode(0), "");
}

struct job_fixture : ::testing::Test {
    test::fake_window window;
    emitter scene{false, &window};
    frame_set& fs = scene.add_frame(0);
};

// A failing share ends there; the others and the program go on, and the host hears of each
// failure as a value that its log line renders.
TEST_F(job_fixture, FailingJobIsLoggedAndTheProgramGoesOn) {
    // A stroke without key state fails its strict look-up of "ctrl" on the worker.
    particle p(1, vec3(), 1.0f);
    stroke s;
    s.mode = brush_kind::grab;
    s.particles = {&p};
    s.falloff[1] = 1.0f;
    apply_stroke(fs, s);
    EXPECT_EQ(window.count_lines("job error / deform particle / Unable to find key"), 1);
    const std::optional<job_failure> first = window.first_failure();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->job, "deform particle");
    EXPECT_EQ(first->message, QString::fromStdString(missing_key_message("\"ctrl\"", "the key state")));

    std::atomic<int> done{0};
    window.cpu_count = 3;
    parallel_for(frame_job(fs, "update collision"), 9, 3, [&](const share& items) {
        for (int i : items) {
            if (i == 4) throw std::out_of_range(bad_subscript_message);
            ++done;
        }
    });
    EXPECT_EQ(window.count_lines("job error / update collision / invalid vector<T> subscript"), 1);
    EXPECT_EQ(done.load(), 7);  // the share of items 1, 4 and 7 stopped at 4

    parallel_for(frame_job(fs, "mid shape"), 2, 2, [](const share&) { throw std::bad_cast(); });
    EXPECT_EQ(window.count_lines("job error / mid shape / bad cast"), 2);
    post({"remove undo", &window}, scene.jobs, [] { throw 42; });
    scene.jobs.wait();
    EXPECT_EQ(window.count_lines("job error / remove undo / unknown"), 1);
    EXPECT_EQ(window.first_failure()->job, "deform particle");  // the first one is kept
}
