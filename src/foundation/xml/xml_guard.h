// Guards for Expat parsers that read text the server does not control (client
// XML and the store files): a document that declares its own entities is
// refused, since a long chain of entities referring to one another makes Expat
// recurse once per link while expanding them and can exhaust the stack.
// Foundation layer: calls Expat only. Not re-entrant (one parse at a time,
// like the XML value stack).
#pragma once

#include <expat.h>

// ---- Entity declarations ---------------------------------------------------------

// Makes `parser` stop at the first entity declaration of its document (any
// <!ENTITY ...> in the document type, general or parameter, internal or
// external): XML_Parse then fails with XML_ERROR_ABORTED and
// XMLEntityDeclarationRefused() is true. Documents without a document type,
// or with one that declares no entity, parse as before; the five predefined
// entities and character references are unaffected.
// Call it right before the parse: the guard applies to the parser given last.
// Replaces any entity declaration handler the parser had.
void RefuseXMLEntityDeclarations(XML_Parser parser);

// True when the parse of the parser given last to RefuseXMLEntityDeclarations
// was stopped by an entity declaration (a reader's log line can say so).
bool XMLEntityDeclarationRefused();
