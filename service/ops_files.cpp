// Saving and loading the watched switches.
// Not part of this build yet: each answers a SOAP fault that says so.
#include "service/not_available.h"
#include "soapH.h"

using torvane::NotAvailable;

int ns__SaveFile(struct soap* soap, std::wstring, struct ns__SaveFileResponse&) {
  return NotAvailable(soap, "SaveFile");
}
int ns__SaveFileAs(struct soap* soap, int, std::string, struct ns__SaveFileAsResponse&) {
  return NotAvailable(soap, "SaveFileAs");
}
int ns__LoadFile(struct soap* soap, std::wstring, ns__MonitorList&) {
  return NotAvailable(soap, "LoadFile");
}
