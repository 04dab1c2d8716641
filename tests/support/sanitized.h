// KSR_SANITIZED is defined in builds under AddressSanitizer or
// ThreadSanitizer (GCC's and Clang's ways of telling), for tests that scale
// themselves down or skip what the sanitizers' runtimes cannot do.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KSR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KSR_SANITIZED 1
#endif
#endif
