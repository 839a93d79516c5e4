# Post-processes the generated WSDL and schemas for the one answer that is
# in no namespace (tReqXmlList, generated from the prefix "nons"):
# - an empty prefix binding (xmlns:nons="") is not allowed in XML, so it is
#   dropped, and with it the empty schema and its import;
# - the RPC wrapper of the GetReqXmlList answer is described in no
#   namespace, as the server writes it (<tReqXmlList xmlns="">).
# - the dispatch skeleton writes the answer element as plain tReqXmlList,
#   so that the envelope keeps the SOAP-ENV: prefixes of every other answer
#   while the element stays in no namespace.
# Usage: cmake -DGEN_DIR=<dir> -P wsdl_fixup.cmake
set(wsdl ${GEN_DIR}/Torvane.wsdl)
file(READ ${wsdl} text)
string(REGEX REPLACE "[ \t]*xmlns:nons=\"\"\n" "" text "${text}")
string(REGEX REPLACE "[ \t]*<schema targetNamespace=\"\"[^<]*(<import[^>]*>[ \t\n]*)*</schema>\n\n" "" text "${text}")
string(REGEX REPLACE "[ \t]*<import namespace=\"\"/>\n" "" text "${text}")
string(REGEX REPLACE
  "(<operation name=\"GetReqXmlList\">[ \t\n]*<SOAP:operation[^>]*>[ \t\n]*<input>[^<]*<SOAP:body[^>]*>[ \t\n]*</input>[ \t\n]*<output>[ \t\n]*<SOAP:body use=\"encoded\" encodingStyle=\"[^\"]*\") namespace=\"urn:Ostra\""
  "\\1 namespace=\"\"" text "${text}")
file(WRITE ${wsdl} "${text}")
file(REMOVE ${GEN_DIR}/nons.xsd)
foreach(xsd ${GEN_DIR}/ns.xsd)
  if(EXISTS ${xsd})
    file(READ ${xsd} t)
    string(REGEX REPLACE "[ \t]*xmlns:nons=\"\"\n" "" t "${t}")
    string(REGEX REPLACE "[ \t]*<import namespace=\"\"/>\n" "" t "${t}")
    file(WRITE ${xsd} "${t}")
  endif()
endforeach()

set(server ${GEN_DIR}/soapServer.cpp)
file(READ ${server} text)
string(REPLACE "result.soap_put(soap, \"nons:tReqXmlList\", \"\")"
               "result.soap_put(soap, \"tReqXmlList\", \"\")" text "${text}")
file(WRITE ${server} "${text}")
