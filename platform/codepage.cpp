#include "platform/codepage.h"

#include <iconv.h>
#include <unicode/unorm2.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <climits>
#include <cstring>
#include <iterator>
#include <string>
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

// Windows' best-fit letters for Latin letters that Windows-1252 lacks: the
// letter without its accent, stroke or hook (a few go to a Windows-1252
// letter of their own: D with stroke to Eth, F with hook to f with hook).
// Letters not listed here, and all other characters outside the code
// page, have no best fit and become '?'. Sorted by code.
constexpr std::pair<char16_t, unsigned char> kBestFit[] = {
    {0x0100, 0x41}, {0x0101, 0x61}, {0x0102, 0x41}, {0x0103, 0x61}, {0x0104, 0x41}, {0x0105, 0x61},
    {0x0106, 0x43}, {0x0107, 0x63}, {0x0108, 0x43}, {0x0109, 0x63}, {0x010A, 0x43}, {0x010B, 0x63},
    {0x010C, 0x43}, {0x010D, 0x63}, {0x010E, 0x44}, {0x010F, 0x64}, {0x0110, 0xD0}, {0x0111, 0x64},
    {0x0112, 0x45}, {0x0113, 0x65}, {0x0114, 0x45}, {0x0115, 0x65}, {0x0116, 0x45}, {0x0117, 0x65},
    {0x0118, 0x45}, {0x0119, 0x65}, {0x011A, 0x45}, {0x011B, 0x65}, {0x011C, 0x47}, {0x011D, 0x67},
    {0x011E, 0x47}, {0x011F, 0x67}, {0x0120, 0x47}, {0x0121, 0x67}, {0x0122, 0x47}, {0x0123, 0x67},
    {0x0124, 0x48}, {0x0125, 0x68}, {0x0126, 0x48}, {0x0127, 0x68}, {0x0128, 0x49}, {0x0129, 0x69},
    {0x012A, 0x49}, {0x012B, 0x69}, {0x012C, 0x49}, {0x012D, 0x69}, {0x012E, 0x49}, {0x012F, 0x69},
    {0x0130, 0x49}, {0x0131, 0x69}, {0x0134, 0x4A}, {0x0135, 0x6A}, {0x0136, 0x4B}, {0x0137, 0x6B},
    {0x0139, 0x4C}, {0x013A, 0x6C}, {0x013B, 0x4C}, {0x013C, 0x6C}, {0x013D, 0x4C}, {0x013E, 0x6C},
    {0x0141, 0x4C}, {0x0142, 0x6C}, {0x0143, 0x4E}, {0x0144, 0x6E}, {0x0145, 0x4E}, {0x0146, 0x6E},
    {0x0147, 0x4E}, {0x0148, 0x6E}, {0x014C, 0x4F}, {0x014D, 0x6F}, {0x014E, 0x4F}, {0x014F, 0x6F},
    {0x0150, 0x4F}, {0x0151, 0x6F}, {0x0154, 0x52}, {0x0155, 0x72}, {0x0156, 0x52}, {0x0157, 0x72},
    {0x0158, 0x52}, {0x0159, 0x72}, {0x015A, 0x53}, {0x015B, 0x73}, {0x015C, 0x53}, {0x015D, 0x73},
    {0x015E, 0x53}, {0x015F, 0x73}, {0x0162, 0x54}, {0x0163, 0x74}, {0x0164, 0x54}, {0x0165, 0x74},
    {0x0166, 0x54}, {0x0167, 0x74}, {0x0168, 0x55}, {0x0169, 0x75}, {0x016A, 0x55}, {0x016B, 0x75},
    {0x016C, 0x55}, {0x016D, 0x75}, {0x016E, 0x55}, {0x016F, 0x75}, {0x0170, 0x55}, {0x0171, 0x75},
    {0x0172, 0x55}, {0x0173, 0x75}, {0x0174, 0x57}, {0x0175, 0x77}, {0x0176, 0x59}, {0x0177, 0x79},
    {0x0179, 0x5A}, {0x017A, 0x7A}, {0x017B, 0x5A}, {0x017C, 0x7A}, {0x0180, 0x62}, {0x0189, 0xD0},
    {0x0191, 0x83}, {0x0197, 0x49}, {0x019A, 0x6C}, {0x019F, 0x4F}, {0x01A0, 0x4F}, {0x01A1, 0x6F},
    {0x01AB, 0x74}, {0x01AE, 0x54}, {0x01AF, 0x55}, {0x01B0, 0x75}, {0x01B6, 0x7A}, {0x01CD, 0x41},
    {0x01CE, 0x61}, {0x01CF, 0x49}, {0x01D0, 0x69}, {0x01D1, 0x4F}, {0x01D2, 0x6F}, {0x01D3, 0x55},
    {0x01D4, 0x75}, {0x01D5, 0x55}, {0x01D6, 0x75}, {0x01D7, 0x55}, {0x01D8, 0x75}, {0x01D9, 0x55},
    {0x01DA, 0x75}, {0x01DB, 0x55}, {0x01DC, 0x75}, {0x01DE, 0x41}, {0x01DF, 0x61}, {0x01E4, 0x47},
    {0x01E5, 0x67}, {0x01E6, 0x47}, {0x01E7, 0x67}, {0x01E8, 0x4B}, {0x01E9, 0x6B}, {0x01EA, 0x4F},
    {0x01EB, 0x6F}, {0x01EC, 0x4F}, {0x01ED, 0x6F}, {0x01F0, 0x6A},
};

bool BestFit(char16_t u, unsigned char* b) {
  auto it = std::lower_bound(std::begin(kBestFit), std::end(kBestFit),
                             std::make_pair(u, static_cast<unsigned char>(0)));
  if (it == std::end(kBestFit) || it->first != u) return false;
  *b = it->second;
  return true;
}

// The text in Unicode normalization form C: a letter followed by combining
// accents becomes the precomposed letter where Unicode has one ("e" and
// U+0301 become U+00E9). The text is returned as it was should the
// normalizer fail.
std::u16string Composed(const char16_t* src, size_t srcUnits) {
  std::u16string in(src, srcUnits);
  UErrorCode err = U_ZERO_ERROR;
  const UNormalizer2* nfc = unorm2_getNFCInstance(&err);
  if (U_FAILURE(err) || srcUnits > INT32_MAX / 3) return in;
  // Composition never lengthens a text by more than three times.
  std::u16string out(srcUnits * 3 + 1, u'\0');
  int32_t n = unorm2_normalize(nfc, in.data(), static_cast<int32_t>(in.size()), out.data(),
                               static_cast<int32_t>(out.size()), &err);
  if (U_FAILURE(err) || n < 0) return in;
  out.resize(static_cast<size_t>(n));
  return out;
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
  std::u16string text = Composed(src, srcUnits);
  size_t written = 0;
  for (size_t i = 0; i < text.size() && written < dstBytes; ++i) {
    unsigned char b;
    if (!table.ToAnsi(text[i], &b) && !BestFit(text[i], &b)) {
      b = '?';
      if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) ++i;
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
