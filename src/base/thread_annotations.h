// Clang's thread-safety attributes, so that the compiler checks which lock guards what. Other
// compilers see nothing; a clang build with -Wthread-safety turns every unguarded access into an
// error.
#pragma once

#if defined(__clang__)
#define TORVESK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TORVESK_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(name) TORVESK_THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY TORVESK_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(lock) TORVESK_THREAD_ANNOTATION(guarded_by(lock))
#define PT_GUARDED_BY(lock) TORVESK_THREAD_ANNOTATION(pt_guarded_by(lock))
#define REQUIRES(...) TORVESK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TORVESK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TORVESK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TORVESK_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) TORVESK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(lock) TORVESK_THREAD_ANNOTATION(assert_capability(lock))
#define RETURN_CAPABILITY(lock) TORVESK_THREAD_ANNOTATION(lock_returned(lock))
#define NO_THREAD_SAFETY_ANALYSIS TORVESK_THREAD_ANNOTATION(no_thread_safety_analysis)
