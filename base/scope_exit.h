#pragma once
// A cleanup that runs when a scope ends, however it ends: flags that gate the GUI or the
// background must never stay set because a job failed.

namespace kavrin {

template <class F>
struct on_exit {
    F f;
    ~on_exit() { f(); }
};
template <class F>
on_exit(F) -> on_exit<F>;

}  // namespace kavrin
