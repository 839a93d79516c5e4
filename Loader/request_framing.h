// Where one HTTP request ends in the bytes a connection has delivered, so
// that a request is read whole before any operation sees it.
#pragma once

#include <cstddef>
#include <string_view>

namespace torvane {

enum class RequestFrame {
  kNeedMore,    // the request is not complete yet
  kComplete,    // a whole request: head, and the body its head announces
  kUntilClose,  // a body without length: it ends when the client closes
  kMalformed,   // can never become a valid request; serve it as it is
};

// Longest request head (request line and header lines) accepted.
constexpr size_t kMaxRequestHead = 64 * 1024;

// Looks at the bytes received so far. A body is framed by Content-Length or
// by chunked transfer coding; a POST without either runs until the client
// closes, any other request has no body.
RequestFrame FrameRequest(std::string_view data);

// The request line, as received, without its line end.
std::string_view RequestLine(std::string_view data);

// The request method (the request line's first word).
std::string_view RequestMethod(std::string_view data);

}  // namespace torvane
