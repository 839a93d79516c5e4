// Request documents: the prepared SOAP requests in the auto folder.
#include <glob.h>

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

int ns__GetReqXmlFile(struct soap*, std::string strXmlName,
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
  return SOAP_OK;
}
