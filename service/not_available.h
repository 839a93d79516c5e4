// The answer of an operation whose engine subsystem is not in this build:
// a SOAP fault that says so. No operation may pretend to succeed.
#pragma once

#include "soapH.h"

namespace torvane {

inline int NotAvailable(struct soap* soap, const char* operation) {
  return soap_receiver_fault(soap, operation, "this operation is not available in this build");
}

}  // namespace torvane
