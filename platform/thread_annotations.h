// Clang thread-safety annotations; empty on other compilers.
#ifndef MSGLOGIC_PLATFORM_THREAD_ANNOTATIONS_H_
#define MSGLOGIC_PLATFORM_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define MSG_THREAD_ANNOTATION_(x) __attribute__((x))
#else
#define MSG_THREAD_ANNOTATION_(x)
#endif

#define CAPABILITY(x) MSG_THREAD_ANNOTATION_(capability(x))
#define SCOPED_CAPABILITY MSG_THREAD_ANNOTATION_(scoped_lockable)
#define GUARDED_BY(x) MSG_THREAD_ANNOTATION_(guarded_by(x))
#define PT_GUARDED_BY(x) MSG_THREAD_ANNOTATION_(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) MSG_THREAD_ANNOTATION_(acquired_before(__VA_ARGS__))
#define REQUIRES(...) MSG_THREAD_ANNOTATION_(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) MSG_THREAD_ANNOTATION_(acquire_capability(__VA_ARGS__))
#define RELEASE(...) MSG_THREAD_ANNOTATION_(release_capability(__VA_ARGS__))
#define EXCLUDES(...) MSG_THREAD_ANNOTATION_(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS MSG_THREAD_ANNOTATION_(no_thread_safety_analysis)

#endif  // MSGLOGIC_PLATFORM_THREAD_ANNOTATIONS_H_
