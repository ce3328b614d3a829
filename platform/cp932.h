#pragma once
// Byte rules of code page 932, the program's text inside and on disk: which byte
// starts a double-byte character, and the one cut of a text to a fixed number of
// bytes that never leaves half a character (preset names, the registry's "Name",
// device names from every MIDI backend). Half-width katakana (0xA1-0xDF) are single
// bytes.
#include <cstddef>

// True for a byte that starts a double-byte character (0x81-0x9F, 0xE0-0xFC): the
// byte after it belongs to the same character.
inline bool IsCp932LeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// The number of leading bytes of the NUL-terminated text to keep so that at most
// maxBytes remain and no double-byte character loses its second byte: the text's
// length when it fits, else maxBytes or maxBytes - 1. A lead byte right before the NUL
// (a broken text) counts as one byte. Reads nothing past the text's NUL.
size_t Cp932CutLength(const char* text, size_t maxBytes);

// Copies the text cut by Cp932CutLength(text, maxBytes) into out and ends it with NUL;
// out holds at least maxBytes + 1 bytes. Returns the number of bytes copied.
size_t Cp932CopyCut(char* out, const char* text, size_t maxBytes);
