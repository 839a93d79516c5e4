// Request documents: the prepared SOAP requests in the auto folder.
#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "service/convert.h"
#include "soapH.h"

namespace {

// A request document is a regular file (or a link to one). A FIFO would
// block the single serving thread in open or read until some writer came,
// and a device could never be read to its end. stat neither opens nor
// blocks.
bool IsDocument(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// Opens a request document for reading, or returns null. The open does
// not wait (O_NONBLOCK), and what was opened must be a regular file, so a
// FIFO or a device put in auto/ is refused at once.
FILE* OpenDocument(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  FILE* file = fdopen(fd, "r");
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

int ns__GetReqXmlList(struct soap* soap, nons__tReqXmlList& result) {
  result.nErrorCode = 0;
  result.nNum = 0;
  glob_t found{};
  size_t documents = 0;
  if (glob("auto/*.req.xml", 0, nullptr, &found) == 0) {
    for (size_t i = 0; i < found.gl_pathc; ++i) documents += IsDocument(found.gl_pathv[i]);
  }
  if (documents == 0) {
    globfree(&found);
    printf("find auto/*.req.xml error. \n");
    return soap_receiver_fault(soap, "find auto/*.req.xml error.", nullptr);
  }
  for (size_t i = 0; i < found.gl_pathc; ++i) {
    // What GetReqXmlFile would refuse is not offered.
    if (!IsDocument(found.gl_pathv[i])) continue;
    const char* slash = strrchr(found.gl_pathv[i], '/');
    std::string name = slash ? slash + 1 : found.gl_pathv[i];
    // A name the answer cannot carry as it is could never be asked for
    // again; written out, it would make the whole list unreadable.
    if (!torvane::IsXmlText(name)) continue;
    result.ReqXml.push_back(name);
    ++result.nNum;
  }
  globfree(&found);
  // tReqXmlList is in no namespace: with default namespaces the runtime
  // writes it as <tReqXmlList xmlns="">. The serve loop restores the mode.
  soap_set_omode(soap, SOAP_XML_DEFAULTNS);
  return SOAP_OK;
}

int ns__GetReqXmlFile(struct soap* soap, std::string strXmlName,
                      struct ns__GetReqXmlFileResponse& result) {
  // Only names inside the auto folder: a path separator or ".." would let
  // any client read any file of the machine.
  bool unsafe = strXmlName.find('/') != std::string::npos ||
                strXmlName.find('\\') != std::string::npos ||
                strXmlName.find("..") != std::string::npos ||
                strXmlName.find('\0') != std::string::npos;
  std::string path = "auto/" + strXmlName;
  // A folder ("auto/" itself for an empty name, "auto/." ...) is no
  // document either.
  FILE* file = unsafe ? nullptr : OpenDocument(path);
  if (file == nullptr) {
    printf("open auto/%s error. \n", strXmlName.c_str());
    return soap_sender_fault(soap, "the request document cannot be opened", nullptr);
  }
  // Text mode on the original platform: a CR LF pair reads as LF.
  int c;
  int pendingCr = 0;
  while ((c = fgetc(file)) != EOF) {
    if (pendingCr) {
      if (c != '\n') result.strXmlContent.push_back('\r');
      pendingCr = 0;
    }
    if (c == '\r') {
      pendingCr = 1;
      continue;
    }
    result.strXmlContent.push_back(static_cast<char>(c));
  }
  if (pendingCr) result.strXmlContent.push_back('\r');
  fclose(file);
  // Carried unchanged, so it must be UTF-8 text that XML can hold.
  if (!torvane::IsXmlText(result.strXmlContent)) {
    printf("auto/%s is not UTF-8 text. \n", strXmlName.c_str());
    result.strXmlContent.clear();
    return soap_sender_fault(soap, "the request document is not UTF-8 text", nullptr);
  }
  return SOAP_OK;
}
