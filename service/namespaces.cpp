// The XML namespace table of the web service, generated with the contract.
// Defined once here for every program linked with the core.
#include "soapH.h"
#include "Torvane.nsmap"
