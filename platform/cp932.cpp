#include "platform/cp932.h"

#include <cstring>

size_t Cp932CutLength(const char* text, size_t maxBytes) {
    size_t i = 0;
    while (i < maxBytes && text[i] != '\0') {
        const size_t width = IsCp932LeadByte(static_cast<unsigned char>(text[i])) && text[i + 1] != '\0' ? 2 : 1;
        if (i + width > maxBytes) break;
        i += width;
    }
    return i;
}

size_t Cp932CopyCut(char* out, const char* text, size_t maxBytes) {
    const size_t n = Cp932CutLength(text, maxBytes);
    std::memcpy(out, text, n);
    out[n] = '\0';
    return n;
}
