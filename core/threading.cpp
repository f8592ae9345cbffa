#include "core/threading.h"

#include <exception>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include <QMutex>

#include "core/emitter.h"
#include "core/frame_set.h"
#include "core/strict.h"
#include "dynamics/deform.h"
#include "dynamics/grid_fields.h"
#include "dynamics/level_index.h"
#include "dynamics/octree.h"

// ThreadSanitizer does not see QThread::wait() synchronise with the end of the thread (Qt's own
// locks are not instrumented): the two annotations below tell it, so that it reports real races.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#define KAVRIN_THREAD_ENDED(t) __tsan_release(t)
#define KAVRIN_THREAD_JOINED(t) __tsan_acquire(t)
#else
#define KAVRIN_THREAD_ENDED(t) (void)(t)
#define KAVRIN_THREAD_JOINED(t) (void)(t)
#endif

namespace kavrin {

namespace {

// Unwaited threads still alive, by target object, so that an owner can wait for them before it
// is freed. Guarded by live_lock.
QMutex live_lock;
std::unordered_multimap<void*, threading*> live_threads;

using emitter_handler = void (*)(emitter&, const threading&);
using frame_handler = void (*)(frame_set&, const boost::any&, const std::vector<int>&);

template <class T>
const std::vector<T>& list_arg(const boost::any& a) {
    return *boost::any_cast<std::vector<T>*>(a);
}

template <class T>
const T& item(const std::vector<T>& list, int i) {
    if (i < 0 || size_t(i) >= list.size()) throw std::out_of_range(bad_subscript_message);
    return list[size_t(i)];
}

const std::unordered_map<QString, emitter_handler>& emitter_table() {
    static const std::unordered_map<QString, emitter_handler> table = {
        {"current particle", [](emitter& e, const threading&) { e.current_particle(); }},
        {"clear queue", [](emitter& e, const threading&) { e.clear_queue(); }},
        {"eat queue", [](emitter& e, const threading&) { e.eat_queue(); }},
        {"add near", [](emitter& e, const threading&) { e.near_worker(); }},
        {"remove undo", [](emitter& e, const threading& t) { e.remove_undo(t.arguments); }},
        {"build particle",
         [](emitter& e, const threading& t) {
             if (t.arguments.empty()) throw std::out_of_range(bad_subscript_message);
             const auto& keys = boost::any_cast<const std::vector<int>&>(t.arguments[0]);
             for (int i : t.indices)
                 e.build_particle(keys, i);
         }},
    };
    return table;
}

const std::unordered_map<QString, frame_handler>& frame_table() {
    static const std::unordered_map<QString, frame_handler> table = {
        {"update particle",
         [](frame_set& fs, const boost::any& a, const std::vector<int>& idx) {
             const auto& list = list_arg<particle*>(a);
             for (int i : idx)
                 rehome(fs, *item(list, i));
         }},
        {"deform particle",
         [](frame_set&, const boost::any& a, const std::vector<int>& idx) {
             const stroke& s = *boost::any_cast<stroke*>(a);
             for (int i : idx)
                 deform(*item(s.particles, i), s);
         }},
        {"update collision",
         [](frame_set&, const boost::any& a, const std::vector<int>& idx) {
             const auto& list = list_arg<oct_tree*>(a);
             for (int i : idx)
                 update_bounds(*item(list, i));
         }},
        {"mid shape",
         [](frame_set& fs, const boost::any& a, const std::vector<int>& idx) {
             const auto& list = list_arg<particle*>(a);
             for (int i : idx)
                 shape_cell(fs, *item(list, i));
         }},
        {"mid density",
         [](frame_set& fs, const boost::any& a, const std::vector<int>& idx) {
             const auto& list = list_arg<cell_key>(a);
             for (int i : idx)
                 density_cell(fs, item(list, i));
         }},
        {"mid normal",
         [](frame_set& fs, const boost::any& a, const std::vector<int>& idx) {
             const auto& list = list_arg<cell_key>(a);
             for (int i : idx)
                 normal_cell(fs, item(list, i));
         }},
    };
    return table;
}

window_link* window_of(const threading& t) {
    if (t.target == QLatin1String("emitter")) return static_cast<emitter*>(t.target_object)->window;
    if (t.target == QLatin1String("frame_set")) {
        const emitter* owner = static_cast<frame_set*>(t.target_object)->owner;
        return owner ? owner->window : nullptr;
    }
    return nullptr;
}

}  // namespace

threading::threading(void* target_object_, const QString& target_, const QString& command_,
                     std::vector<int> indices_, const job_args* arguments_)
    : target_object(target_object_),
      indices(std::move(indices_)),
      target(target_),
      command(command_),
      arguments(arguments_ ? *arguments_ : job_args()) {}

threading::~threading() {
    QMutexLocker hold(&live_lock);
    auto range = live_threads.equal_range(target_object);
    for (auto it = range.first; it != range.second; ++it)
        if (it->second == this) {
            live_threads.erase(it);
            break;
        }
}

void threading::run() {
    // A job that fails ends here: the error is logged and the program goes on.
    try {
        if (target == QLatin1String("emitter")) {
            auto it = emitter_table().find(command);
            if (it != emitter_table().end())
                it->second(*static_cast<emitter*>(target_object), *this);
        } else if (target == QLatin1String("frame_set")) {
            auto it = frame_table().find(command);
            if (it == frame_table().end()) {
                KAVRIN_THREAD_ENDED(this);
                return;
            }
            if (arguments.empty()) throw std::out_of_range(bad_subscript_message);
            it->second(*static_cast<frame_set*>(target_object), arguments[0], indices);
        }
    } catch (const boost::bad_any_cast&) {
        if (window_link* w = window_of(*this)) w->log("job error / " + command + " / bad cast");
    } catch (const std::exception& e) {
        if (window_link* w = window_of(*this))
            w->log("job error / " + command + " / " + QString::fromUtf8(e.what()));
    } catch (...) {
        if (window_link* w = window_of(*this)) w->log("job error / " + command + " / unknown");
    }
    KAVRIN_THREAD_ENDED(this);
}

void share_lib::finalize_thread() {
    if (auto* t = qobject_cast<threading*>(sender())) {
        t->wait();  // finished() is sent just before the thread really ends
        KAVRIN_THREAD_JOINED(t);
        delete t;
    }
}

share_lib* job_receiver() {
    // Made on first use, which is on the main thread (the window dispatches all unwaited jobs).
    static share_lib receiver;
    return &receiver;
}

std::vector<std::vector<int>> deal_indices(int item_count, int thread_count) {
    if (thread_count < 1) thread_count = 1;
    std::vector<std::vector<int>> shares(static_cast<size_t>(thread_count));
    for (int i = 0; i < item_count; ++i)
        shares[size_t(i % thread_count)].push_back(i);
    return shares;
}

void run_jobs(QObject* receiver, bool wait, int item_count, int thread_count, void* target_object,
              const QString& target, const QString& command, const job_args* arguments) {
    std::vector<std::vector<int>> shares = deal_indices(item_count, thread_count);

    std::vector<threading*> started;
    for (auto& share : shares) {
        if (share.empty()) continue;
        auto* t = new threading(target_object, target, command, std::move(share), arguments);
        if (!wait) {
            QMutexLocker hold(&live_lock);
            live_threads.emplace(target_object, t);
            QObject::connect(t, SIGNAL(finished()), receiver, SLOT(finalize_thread()));
        }
        t->start(QThread::InheritPriority);
        started.push_back(t);
    }
    if (!wait) return;
    for (threading* t : started) {
        t->wait();
        KAVRIN_THREAD_JOINED(t);
    }
    for (threading* t : started)
        delete t;
}

// Runs on the main thread, the only one that deletes unwaited threads, so none vanishes here.
void wait_for_jobs(void* target_object) {
    for (;;) {
        std::vector<threading*> running;
        {
            QMutexLocker hold(&live_lock);
            auto range = live_threads.equal_range(target_object);
            for (auto it = range.first; it != range.second; ++it)
                if (!it->second->isFinished()) running.push_back(it->second);
        }
        if (running.empty()) return;
        for (threading* t : running) {
            t->wait();
            KAVRIN_THREAD_JOINED(t);
        }
    }
}

int jobs_alive(void* target_object) {
    QMutexLocker hold(&live_lock);
    return int(live_threads.count(target_object));
}

}  // namespace kavrin
