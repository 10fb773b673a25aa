// The entity-declaration guard of Expat parsers.
// Foundation layer: calls Expat only. Module state: the parser being guarded
// (one parse at a time on the server's working thread).
#include "foundation/xml/xml_guard.h"

namespace {

// The handler is not given its parser (userData belongs to the reader), so
// the guarded parser is remembered here.
XML_Parser g_guarded = nullptr;
bool g_refused = false;

void XMLCALL RefuseEntityDecl(void* /*userData*/, const XML_Char* /*entityName*/, int /*isParameterEntity*/,
                              const XML_Char* /*value*/, int /*valueLength*/, const XML_Char* /*base*/,
                              const XML_Char* /*systemId*/, const XML_Char* /*publicId*/,
                              const XML_Char* /*notationName*/) {
  g_refused = true;
  if (g_guarded != nullptr) XML_StopParser(g_guarded, XML_FALSE);
}

}  // namespace

void RefuseXMLEntityDeclarations(XML_Parser parser) {
  g_guarded = parser;
  g_refused = false;
  if (parser != nullptr) XML_SetEntityDeclHandler(parser, RefuseEntityDecl);
}

bool XMLEntityDeclarationRefused() { return g_refused; }
