#include "platform/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void TextCopy(char* dest, size_t size, const char* source) {
    if (size == 0) {
        return;
    }
    size_t n = 0;
    while (n + 1 < size && source[n] != '\0') {
        dest[n] = source[n];
        n++;
    }
    dest[n] = '\0';
}

void TextAppend(char* dest, size_t size, const char* source) {
    size_t used = strnlen(dest, size);
    if (used >= size) {
        return;
    }
    TextCopy(dest + used, size - used, source);
}

void TextFormat(char* dest, size_t size, const char* format, ...) {
    if (size == 0) {
        return;
    }
    va_list args;
    va_start(args, format);
    int n = vsnprintf(dest, size, format, args);
    va_end(args);
    if (n < 0) {
        dest[0] = '\0';
    }
}
