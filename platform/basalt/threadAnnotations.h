// Clang's thread-safety attributes, spelled as macros so that other compilers see nothing. The
// `check-locks` build compiles the libraries with clang and -Wthread-safety -Werror, which turns
// every access to a GUARDED_BY member without its lock, and every call of a REQUIRES function
// without the lock it names, into a compile error.
//
// A class whose objects are their own lock (Basalt::System::RwLockableMixin) names itself:
// members are GUARDED_BY(this) and methods REQUIRES(this) or REQUIRES_SHARED(this).
#pragma once

#if defined(__clang__)
#define NOX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define NOX_THREAD_ANNOTATION(x)
#endif

// The class is a lock.
#define CAPABILITY(name) NOX_THREAD_ANNOTATION(capability(name))
// The class holds a lock for its lifetime (RAII guards).
#define SCOPED_CAPABILITY NOX_THREAD_ANNOTATION(scoped_lockable)

// Reading the member needs the lock at least shared; writing it needs it exclusively.
#define GUARDED_BY(x) NOX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) NOX_THREAD_ANNOTATION(pt_guarded_by(x))

// The caller holds the lock exclusively / at least shared.
#define REQUIRES(...) NOX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) NOX_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// The caller must not hold the lock (the function takes it).
#define EXCLUDES(...) NOX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

#define ACQUIRE(...) NOX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) NOX_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) NOX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) NOX_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) NOX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

// For the few places the analysis cannot follow; each use says why.
#define NO_THREAD_SAFETY_ANALYSIS NOX_THREAD_ANNOTATION(no_thread_safety_analysis)
