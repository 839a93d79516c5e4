// The XML namespace table of torvanectl's generated client code.
#include "soapH.h"
#include "Torvane.nsmap"
