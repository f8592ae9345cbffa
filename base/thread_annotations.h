#pragma once
// Which lock guards a field and which locks a function needs, in a form Clang's thread-safety
// analysis checks (the "thread_safety" test compiles the engine with it). Other compilers see
// nothing.

#if defined(__clang__)
#define KAVRIN_ANNOTATE(x) __attribute__((x))
#else
#define KAVRIN_ANNOTATE(x)
#endif

#define KAVRIN_CAPABILITY(name) KAVRIN_ANNOTATE(capability(name))
#define KAVRIN_SCOPED_CAPABILITY KAVRIN_ANNOTATE(scoped_lockable)
#define KAVRIN_GUARDED_BY(lock) KAVRIN_ANNOTATE(guarded_by(lock))
#define KAVRIN_ACQUIRED_AFTER(...) KAVRIN_ANNOTATE(acquired_after(__VA_ARGS__))
#define KAVRIN_REQUIRES(...) KAVRIN_ANNOTATE(requires_capability(__VA_ARGS__))
#define KAVRIN_ACQUIRE(...) KAVRIN_ANNOTATE(acquire_capability(__VA_ARGS__))
#define KAVRIN_RELEASE(...) KAVRIN_ANNOTATE(release_capability(__VA_ARGS__))
#define KAVRIN_TRY_ACQUIRE(...) KAVRIN_ANNOTATE(try_acquire_capability(__VA_ARGS__))
#define KAVRIN_EXCLUDES(...) KAVRIN_ANNOTATE(locks_excluded(__VA_ARGS__))
// For the rare function whose locks the analysis cannot name (a set of them chosen at run
// time, a hold handed to the caller); its comment says what it holds.
#define KAVRIN_NO_THREAD_SAFETY_ANALYSIS KAVRIN_ANNOTATE(no_thread_safety_analysis)
