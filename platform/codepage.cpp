#include "platform/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

namespace torvane {

namespace {

// Windows-1252 is a single-byte code page, so the whole conversion is a
// 256-entry table in each direction. The table is read from the C
// library's converter once, on first use; the function-local static makes
// that first use thread-safe, and the tables are read-only afterwards.
class AnsiTable {
 public:
  AnsiTable() {
    for (int b = 0; b < 256; ++b) toWide_[b] = static_cast<char16_t>(b);
    Load();
    for (int b = 0; b < 256; ++b) {
      toAnsi_[b] = {toWide_[b], static_cast<unsigned char>(b)};
    }
    std::sort(toAnsi_.begin(), toAnsi_.end());
  }

  char16_t ToWide(unsigned char b) const { return toWide_[b]; }

  // Returns false when no byte stands for unit u.
  bool ToAnsi(char16_t u, unsigned char* b) const {
    auto it = std::lower_bound(toAnsi_.begin(), toAnsi_.end(),
                               std::make_pair(u, static_cast<unsigned char>(0)));
    if (it == toAnsi_.end() || it->first != u) return false;
    *b = it->second;
    return true;
  }

 private:
  // Bytes that the converter rejects keep their identity mapping, which is
  // the C1 code point of the same value. Should the converter be missing
  // altogether, every byte keeps it (ISO 8859-1), which still round-trips.
  void Load() {
    iconv_t cd = iconv_open("UTF-32LE", "WINDOWS-1252");
    if (cd == reinterpret_cast<iconv_t>(-1)) cd = iconv_open("UTF-32LE", "CP1252");
    if (cd == reinterpret_cast<iconv_t>(-1)) return;
    for (int b = 0; b < 256; ++b) {
      char in = static_cast<char>(b);
      unsigned char out[8];
      char* inp = &in;
      size_t inLeft = 1;
      char* outp = reinterpret_cast<char*>(out);
      size_t outLeft = sizeof(out);
      iconv(cd, nullptr, nullptr, nullptr, nullptr);  // reset after a failure
      if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == static_cast<size_t>(-1)) continue;
      if (sizeof(out) - outLeft != 4) continue;
      uint32_t cp = out[0] | (uint32_t{out[1]} << 8) | (uint32_t{out[2]} << 16) |
                    (uint32_t{out[3]} << 24);
      if (cp <= 0xFFFF) toWide_[b] = static_cast<char16_t>(cp);
    }
    iconv_close(cd);
  }

  std::array<char16_t, 256> toWide_;
  std::array<std::pair<char16_t, unsigned char>, 256> toAnsi_;
};

const AnsiTable& Table() {
  static const AnsiTable table;
  return table;
}

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

size_t AnsiToWide(const char* src, size_t srcLen, char16_t* dst, size_t dstUnits) {
  if (src == nullptr || dst == nullptr) return 0;
  const AnsiTable& table = Table();
  size_t n = std::min(srcLen, dstUnits);
  for (size_t i = 0; i < n; ++i) {
    dst[i] = table.ToWide(static_cast<unsigned char>(src[i]));
  }
  return n;
}

size_t WideToAnsi(const char16_t* src, size_t srcUnits, char* dst, size_t dstBytes) {
  if (src == nullptr || dst == nullptr) return 0;
  const AnsiTable& table = Table();
  size_t written = 0;
  for (size_t i = 0; i < srcUnits && written < dstBytes; ++i) {
    unsigned char b;
    if (!table.ToAnsi(src[i], &b)) {
      b = '?';
      if (IsHighSurrogate(src[i]) && i + 1 < srcUnits && IsLowSurrogate(src[i + 1])) ++i;
    }
    dst[written++] = static_cast<char>(b);
  }
  return written;
}

bool WidePathToUtf8(const std::wstring& path, char (&out)[kPathBufSize]) {
  std::memset(out, 0, sizeof(out));
  char buf[kPathBufSize];
  size_t used = 0;
  for (wchar_t wc : path) {
    uint32_t cp = static_cast<uint32_t>(wc);
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    unsigned char enc[4];
    size_t n;
    if (cp < 0x80) {
      enc[0] = static_cast<unsigned char>(cp);
      n = 1;
    } else if (cp < 0x800) {
      enc[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
      enc[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      n = 2;
    } else if (cp < 0x10000) {
      enc[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
      enc[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      enc[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      n = 3;
    } else {
      enc[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
      enc[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
      enc[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      enc[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      n = 4;
    }
    if (used + n > kPathBufSize - 1) return false;  // room for the NUL
    std::memcpy(buf + used, enc, n);
    used += n;
  }
  std::memcpy(out, buf, used);
  return true;
}

}  // namespace torvane
