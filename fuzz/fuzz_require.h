// What the fuzz targets share: a broken promise names itself before the fuzzer keeps the
// input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define Require(condition)                                                                         \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition);                        \
            abort();                                                                               \
        }                                                                                          \
    } while (0)
