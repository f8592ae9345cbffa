#pragma once
// The first of the values given since the last clear: the first failure of a run, which decides
// what a waiting driver reports. Any thread may give, read or clear.

#include <optional>
#include <utility>

#include "base/mutex.h"

namespace kavrin {

template <class T>
class first_kept {
  public:
    // Keeps value unless one is kept already; an empty value keeps nothing.
    void keep(std::optional<T> value) {
        mutex_hold hold(lock_);
        if (!first_) first_ = std::move(value);
    }
    std::optional<T> get() const {
        mutex_hold hold(lock_);
        return first_;
    }
    void clear() {
        mutex_hold hold(lock_);
        first_.reset();
    }

  private:
    mutable mutex lock_;
    std::optional<T> first_ KAVRIN_GUARDED_BY(lock_);
};

}  // namespace kavrin
