// Code page conversions of the host.
//
// The system's ANSI code page is Windows-1252. Its five undefined bytes
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the C1 control characters of
// the same value (U+0081 ...) and convert back to themselves, so every
// byte string survives a round trip through wide text unchanged.
//
// Wide text here is 16-bit code units (UTF-16). All routines are
// thread-safe and never write past the given sizes.
#pragma once

#include <cstddef>
#include <string>

namespace torvane {

// Size of the buffers that hold a file path.
constexpr size_t kPathBufSize = 260;

// Converts srcLen bytes of ANSI text to wide text in dst, which holds
// dstUnits units. Each byte gives one unit; conversion stops when dst is
// full. Nothing is terminated. Returns the number of units written (0 when
// src or dst is null).
size_t AnsiToWide(const char* src, size_t srcLen, char16_t* dst, size_t dstUnits);

// Converts srcUnits units of wide text to ANSI bytes in dst, which holds
// dstBytes bytes, as Windows converts to its code page 1252: the text is
// first composed (a letter followed by combining accents becomes the
// precomposed letter, NFC), then a character of the code page gives its
// byte, a Latin letter that the code page lacks gives Windows' best-fit
// letter (U+0141 L with stroke gives 'L', U+017A z with acute gives 'z'),
// and any other character gives '?'; a valid surrogate pair is one
// character and gives a single '?'. Conversion stops when dst is full.
// Nothing is terminated. Returns the number of bytes written (0 when src
// or dst is null).
size_t WideToAnsi(const char16_t* src, size_t srcUnits, char* dst, size_t dstBytes);

// Converts a file path received as wide text (one code point per wchar_t)
// to the host's file name encoding, UTF-8, NUL-terminated in out. out is
// zero-filled first. Returns false, and leaves out all zero, when the path
// does not fit in kPathBufSize - 1 bytes, holds a NUL character, or holds a
// value that is not a Unicode scalar value (a surrogate or a value above
// U+10FFFF): a path is never cut or altered silently.
bool WidePathToUtf8(const std::wstring& path, char (&out)[kPathBufSize]);

}  // namespace torvane
