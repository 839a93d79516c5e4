#include "Loader/static_files.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Loader/http_server.h"
#include "soapH.h"

namespace torvane {
namespace {

constexpr size_t kFileBufferSize = 512000;

// Sends the file's text (up to its first NUL, at most 512000 bytes) as the
// body of the response already begun and adds its log text to *log.
// Returns 0, or -1 when the file cannot be opened. It is opened for
// reading only: an installed server serves the client from read-only files
// it does not own.
int SendFileText(const char* path, struct soap* soap, std::string* log) {
  std::vector<char> buffer(kFileBufferSize + 1, '\0');
  FILE* file = fopen(path, "re");
  if (file == nullptr) {
    *log += std::string("ERR: file ") + path + ", not exist. \n";
    return -1;
  }
  size_t count = 0;
  int c;
  while (count < kFileBufferSize && (c = fgetc(file)) != EOF) buffer[count++] = static_cast<char>(c);
  soap_send(soap, buffer.data());
  *log += std::string("get static file ") + path + " OK.";
  fclose(file);
  return 0;
}

}  // namespace

int StaticFileHandler(struct soap* soap) {
  // The request line as received (method, target, version). Only when the
  // request came from elsewhere than the server loop is it rebuilt from
  // what the runtime keeps.
  std::string line = ServedRequestLine(soap);
  if (line.empty()) {
    line = std::string("GET ") + soap->path + " HTTP/" +
           (soap->http_version[0] ? soap->http_version : "1.1");
  }
  // The handler's log text leaves in one piece, so that the lines of
  // requests served at the same time never cut into it.
  std::string log = "get file msgbuf " + line + ".";

  const char* path = nullptr;
  if (strstr(line.c_str(), "jquery.js") != nullptr) {
    path = "./tools/js_client/jquery.js";
  } else if (strstr(line.c_str(), "index.html") != nullptr) {
    path = "./tools/js_client/index.html";
  }

  // Collect the whole body and send it with its length.
  soap->omode = (soap->omode & ~SOAP_IO) | SOAP_IO_STORE;
  soap->mode = (soap->mode & ~SOAP_IO) | SOAP_IO_STORE;
  soap_response(soap, SOAP_HTML);
  if (path == nullptr) {
    soap_send(soap, " <HTML> SOAP method should be post. </HTML> ");
  } else if (SendFileText(path, soap, &log) == -1) {
    soap_send(soap, " <HTML> the file not exist. </HTML> ");
  }
  soap_end_send(soap);
  fputs(log.c_str(), stdout);
  fflush(stdout);  // the text has no line end; do not let it wait for one
  return 0;
}

}  // namespace torvane
