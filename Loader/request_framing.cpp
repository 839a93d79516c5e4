#include "Loader/request_framing.h"

#include <cctype>
#include <cstdint>

namespace torvane {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool ContainsNoCase(std::string_view text, std::string_view word) {
  for (size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (EqualsNoCase(text.substr(i, word.size()), word)) return true;
  }
  return false;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The line starting at pos: its text (without CR LF or LF) and the position
// after its end. False when the line has no end yet.
bool NextLine(std::string_view data, size_t pos, std::string_view* line, size_t* next) {
  size_t lf = data.find('\n', pos);
  if (lf == std::string_view::npos) return false;
  size_t end = lf;
  if (end > pos && data[end - 1] == '\r') --end;
  *line = data.substr(pos, end - pos);
  *next = lf + 1;
  return true;
}

// A chunked body starting at pos.
RequestFrame FrameChunked(std::string_view data, size_t pos) {
  for (;;) {
    std::string_view line;
    size_t next;
    if (!NextLine(data, pos, &line, &next)) {
      return data.size() - pos > 1024 ? RequestFrame::kMalformed : RequestFrame::kNeedMore;
    }
    uint64_t size = 0;
    size_t digits = 0;
    for (char c : line) {
      int v;
      if (c >= '0' && c <= '9') {
        v = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        v = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        v = c - 'A' + 10;
      } else {
        break;  // a chunk extension or blanks follow
      }
      if (size >> 60) return RequestFrame::kMalformed;
      size = size * 16 + static_cast<uint64_t>(v);
      ++digits;
    }
    if (digits == 0) return RequestFrame::kMalformed;
    pos = next;
    if (size == 0) {
      // Trailer lines up to an empty line.
      for (;;) {
        if (!NextLine(data, pos, &line, &next)) return RequestFrame::kNeedMore;
        pos = next;
        if (line.empty()) return RequestFrame::kComplete;
      }
    }
    if (data.size() - pos < size) return RequestFrame::kNeedMore;
    pos += size;
    if (!NextLine(data, pos, &line, &next)) {
      return data.size() - pos > 2 ? RequestFrame::kMalformed : RequestFrame::kNeedMore;
    }
    if (!line.empty()) return RequestFrame::kMalformed;
    pos = next;
  }
}

}  // namespace

std::string_view RequestLine(std::string_view data) {
  size_t end = data.find_first_of("\r\n");
  return end == std::string_view::npos ? data : data.substr(0, end);
}

std::string_view RequestMethod(std::string_view data) {
  std::string_view line = RequestLine(data);
  size_t end = line.find(' ');
  return end == std::string_view::npos ? line : line.substr(0, end);
}

RequestFrame FrameRequest(std::string_view data) {
  // The head ends at the first empty line.
  size_t pos = 0;
  std::string_view line;
  size_t next;
  bool haveLength = false;
  bool chunked = false;
  uint64_t length = 0;
  bool first = true;
  for (;;) {
    if (!NextLine(data, pos, &line, &next)) {
      return data.size() > kMaxRequestHead ? RequestFrame::kMalformed : RequestFrame::kNeedMore;
    }
    if (next > kMaxRequestHead) return RequestFrame::kMalformed;
    pos = next;
    if (line.empty()) break;
    if (first) {
      first = false;
      continue;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = Trim(line.substr(0, colon));
    std::string_view value = Trim(line.substr(colon + 1));
    if (EqualsNoCase(name, "Content-Length")) {
      if (value.empty()) return RequestFrame::kMalformed;
      uint64_t v = 0;
      for (char c : value) {
        if (c < '0' || c > '9' || v > (UINT64_MAX / 20)) return RequestFrame::kMalformed;
        v = v * 10 + static_cast<uint64_t>(c - '0');
      }
      if (haveLength && v != length) return RequestFrame::kMalformed;
      haveLength = true;
      length = v;
    } else if (EqualsNoCase(name, "Transfer-Encoding")) {
      if (ContainsNoCase(value, "chunked")) chunked = true;
    }
  }
  if (first) return RequestFrame::kMalformed;  // no request line at all
  if (chunked) return FrameChunked(data, pos);
  if (haveLength) return data.size() - pos >= length ? RequestFrame::kComplete : RequestFrame::kNeedMore;
  if (EqualsNoCase(RequestMethod(data), "POST")) return RequestFrame::kUntilClose;
  return RequestFrame::kComplete;
}

}  // namespace torvane
