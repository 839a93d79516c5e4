// Request documents: the prepared SOAP requests in the auto folder.
#include <glob.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "soapH.h"

int ns__GetReqXmlList(struct soap* soap, nons__tReqXmlList& result) {
  result.nErrorCode = 0;
  result.nNum = 0;
  glob_t found{};
  if (glob("auto/*.req.xml", 0, nullptr, &found) != 0 || found.gl_pathc == 0) {
    globfree(&found);
    printf("find auto/*.req.xml error. \n");
    return -1;
  }
  for (size_t i = 0; i < found.gl_pathc; ++i) {
    const char* name = strrchr(found.gl_pathv[i], '/');
    result.ReqXml.push_back(name ? name + 1 : found.gl_pathv[i]);
    ++result.nNum;
  }
  globfree(&found);
  // tReqXmlList is in no namespace: with default namespaces the runtime
  // writes it as <tReqXmlList xmlns="">. The serve loop restores the mode.
  soap_set_omode(soap, SOAP_XML_DEFAULTNS);
  return SOAP_OK;
}

namespace {

// True when text is well-formed UTF-8 (no over-long forms, no surrogates,
// nothing above U+10FFFF): the answer carries it unchanged, and any other
// bytes would make the whole answer unreadable XML.
bool IsUtf8(const std::string& text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      unsigned char d = static_cast<unsigned char>(text[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace

int ns__GetReqXmlFile(struct soap* soap, std::string strXmlName,
                      struct ns__GetReqXmlFileResponse& result) {
  // Only names inside the auto folder: a path separator or ".." would let
  // any client read any file of the machine.
  bool unsafe = strXmlName.find('/') != std::string::npos ||
                strXmlName.find('\\') != std::string::npos ||
                strXmlName.find("..") != std::string::npos ||
                strXmlName.find('\0') != std::string::npos;
  std::string path = "auto/" + strXmlName;
  FILE* file = unsafe ? nullptr : fopen(path.c_str(), "r");
  if (file == nullptr) {
    printf("open auto/%s error. \n", strXmlName.c_str());
    return -1;
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
  if (!IsUtf8(result.strXmlContent)) {
    printf("auto/%s is not UTF-8 text. \n", strXmlName.c_str());
    result.strXmlContent.clear();
    return soap_sender_fault(soap, "the request document is not UTF-8 text", nullptr);
  }
  return SOAP_OK;
}
