// Bounded text handling. Every boundary where text comes from outside (files, replies,
// the registry, other processes) copies with these, never with an unbounded copy.
#pragma once

#include <cstddef>

// Sizes every module agrees on: an error or log text, and a path with its terminator.
#define TEXT_SIZE 256
#define PATH_SIZE 260

// Copies at most size - 1 characters of source and always terminates (lstrcpynA).
void TextCopy(char* dest, size_t size, const char* source);

// Appends source to the text already in dest, cutting it to fit size.
void TextAppend(char* dest, size_t size, const char* source);

// The formats are the GNU ones (mingw is built with its ANSI stdio); only GCC knows that
// name, clang (the fuzzing build) checks them as printf's.
#if defined(__clang__)
#define TEXT_FORMAT_CHECK(formatIndex, firstIndex)                                                 \
    __attribute__((format(printf, formatIndex, firstIndex)))
#else
#define TEXT_FORMAT_CHECK(formatIndex, firstIndex)                                                 \
    __attribute__((format(gnu_printf, formatIndex, firstIndex)))
#endif

// snprintf into a fixed buffer; the result is always terminated, a longer text is cut.
void TextFormat(char* dest, size_t size, const char* format, ...) TEXT_FORMAT_CHECK(3, 4);
