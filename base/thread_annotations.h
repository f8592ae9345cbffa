#pragma once
// Which lock guards a field, in a form Clang's thread-safety analysis reads. Other compilers
// see nothing; under Clang a field's guard is checked where the lock is a declared capability.

#if defined(__clang__)
#define KAVRIN_GUARDED_BY(lock) __attribute__((guarded_by(lock)))
#define KAVRIN_ACQUIRED_AFTER(...) __attribute__((acquired_after(__VA_ARGS__)))
#else
#define KAVRIN_GUARDED_BY(lock)
#define KAVRIN_ACQUIRED_AFTER(...)
#endif
