#include "Loader/static_files.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "soapH.h"

namespace torvane {
namespace {

constexpr size_t kFileBufferSize = 512000;

// Sends the file's text (up to its first NUL, at most 512000 bytes) as the
// body of the response already begun. Returns 0, or -1 when the file
// cannot be opened. It is opened for reading only: an installed server
// serves the client from read-only files it does not own.
int SendFileText(const char* path, struct soap* soap) {
  std::vector<char> buffer(kFileBufferSize + 1, '\0');
  FILE* file = fopen(path, "r");
  if (file == nullptr) {
    printf("ERR: file %s, not exist. \n", path);
    return -1;
  }
  size_t count = 0;
  int c;
  while (count < kFileBufferSize && (c = fgetc(file)) != EOF) buffer[count++] = static_cast<char>(c);
  soap_send(soap, buffer.data());
  printf("get static file %s OK.", path);
  fflush(stdout);
  fclose(file);
  return 0;
}

}  // namespace

int StaticFileHandler(struct soap* soap) {
  // The runtime keeps the request's path; the request line is rebuilt from
  // it for the log, as it was received (method, target, version).
  std::string line = std::string("GET ") + soap->path + " HTTP/1." +
                     (soap->http_version[0] ? std::string(soap->http_version + 2) : std::string("1"));
  printf("get file msgbuf %s.", line.c_str());
  fflush(stdout);  // the line has no end; do not let it wait for one

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
  } else if (SendFileText(path, soap) == -1) {
    soap_send(soap, " <HTML> the file not exist. </HTML> ");
  }
  soap_end_send(soap);
  return 0;
}

}  // namespace torvane
