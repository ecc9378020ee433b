// VEXA_TSAN is defined in builds under ThreadSanitizer, which follows atomics
// and its own annotations but neither fences nor the platform's futex lock:
// the code says so to it where that matters.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define VEXA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VEXA_TSAN 1
#endif
#endif
