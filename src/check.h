#pragma once
// Runtime checks of the conditions the fast paths rely on. They are compiled
// into the sanitizer and fuzz builds (KESTRIX_CHECKS) and out of the release
// build, where they cost nothing: the condition is not even evaluated.
#include <cstdio>
#include <cstdlib>

#if defined(KESTRIX_CHECKS)
#define KX_ASSERT(cond, what)                                                                       \
    do {                                                                                            \
        if (!(cond)) {                                                                              \
            std::fprintf(stderr, "%s:%d: kestrix invariant broken: %s (%s)\n", __FILE__, __LINE__, \
                         what, #cond);                                                              \
            std::abort();                                                                           \
        }                                                                                           \
    } while (0)
#else
#define KX_ASSERT(cond, what) \
    do {                      \
    } while (0 && (cond))
#endif
