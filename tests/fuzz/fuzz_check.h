#pragma once

// A failed property ends the fuzz run like a sanitizer finding: the message,
// then abort (libFuzzer keeps the input as crash-<digest>).

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                                                   \
    do {                                                                             \
        if (!(condition)) {                                                          \
            std::fprintf(stderr, "property failed at %s:%d: %s\n", __FILE__, __LINE__, \
                         #condition);                                                \
            std::fprintf(stderr, __VA_ARGS__);                                       \
            std::fprintf(stderr, "\n");                                              \
            std::abort();                                                            \
        }                                                                            \
    } while (false)
