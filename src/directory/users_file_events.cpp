// The event record of one per-user file: made by a worker's own parser,
// replayed by the loading thread into the users tree.
// Directory layer: calls Expat and the users tree's parser-free handlers.
//
// The record, in native byte order (it never leaves the process):
//   'S' endLine:u32 count:u32 name attribute-name attribute-value ...  start
//   'C' endLine:u32 text                                               data
//   'E' name                                                           end
//   'D' / 'T'                        the XML declaration / document type refused
//   'Z' error:i32 line:u32           where the parser stopped; always last
// A text is its length (u32), its bytes and a NUL. endLine is the line where
// the event ends: a parse stopped by that event's handler reports it.
#include "directory/users_file_events.h"

#include <expat.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "directory/users_tree.h"

namespace {

std::atomic<unsigned long> g_salt{0};

// ---- Worker side ----------------------------------------------------------------------

struct ParserFree {
  void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
};
// Each worker's own parser, reset between files, freed when its thread ends.
// Not per-request state: a file is parsed whole, with no switch of tasks.
thread_local std::unique_ptr<XML_ParserStruct, ParserFree> t_parser;

struct Recorder {
  XML_Parser parser;
  const std::string* data;
  std::string* out;
  bool failed = false;  // no memory for the record
};

void PutU32(std::string& out, uint32_t v) { out.append(reinterpret_cast<const char*>(&v), sizeof v); }

void PutText(std::string& out, const char* text, size_t length) {
  PutU32(out, static_cast<uint32_t>(length));
  out.append(text, length);
  out.push_back('\0');
}

// The line where the current event ends, as the parser reports it once a
// handler has stopped it there: line breaks (LF, CR, CR LF) within the
// event's bytes added to the line where it begins.
uint32_t EventEndLine(const Recorder& r) {
  unsigned long line = XML_GetCurrentLineNumber(r.parser);
  const XML_Index index = XML_GetCurrentByteIndex(r.parser);
  const int count = XML_GetCurrentByteCount(r.parser);
  if (index >= 0 && count > 0 && static_cast<size_t>(index) + static_cast<size_t>(count) <= r.data->size()) {
    const char* p = r.data->data() + index;
    const char* end = p + count;
    for (; p < end; ++p) {
      if (*p == '\n') {
        ++line;
      } else if (*p == '\r') {
        ++line;
        if (p + 1 < end && p[1] == '\n') ++p;
      }
    }
  }
  return static_cast<uint32_t>(line);
}

// Runs one recording step; no memory stops the parse and drops the record.
template <typename F>
void Record(Recorder& r, F&& step) {
  if (r.failed) return;
  try {
    step(*r.out);
  } catch (const std::exception&) {
    r.failed = true;
    XML_StopParser(r.parser, XML_FALSE);
  }
}

void XMLCALL RecordStart(void* userData, const XML_Char* name, const XML_Char** attributes) {
  Recorder& r = *static_cast<Recorder*>(userData);
  const uint32_t line = EventEndLine(r);
  Record(r, [&](std::string& out) {
    uint32_t pairs = 0;
    while (attributes != nullptr && attributes[2 * pairs] != nullptr && attributes[2 * pairs + 1] != nullptr) ++pairs;
    out.push_back('S');
    PutU32(out, line);
    PutU32(out, pairs);
    PutText(out, name, strlen(name));
    for (uint32_t i = 0; i < 2 * pairs; ++i) PutText(out, attributes[i], strlen(attributes[i]));
  });
}

void XMLCALL RecordEnd(void* userData, const XML_Char* name) {
  Recorder& r = *static_cast<Recorder*>(userData);
  Record(r, [&](std::string& out) {
    out.push_back('E');
    PutText(out, name, strlen(name));
  });
}

void XMLCALL RecordCharData(void* userData, const XML_Char* text, int length) {
  Recorder& r = *static_cast<Recorder*>(userData);
  const uint32_t line = EventEndLine(r);
  Record(r, [&](std::string& out) {
    out.push_back('C');
    PutU32(out, line);
    PutText(out, text, static_cast<size_t>(length));
  });
}

void XMLCALL RecordDeclaration(void* userData, const XML_Char*, const XML_Char*, int) {
  Recorder& r = *static_cast<Recorder*>(userData);
  Record(r, [](std::string& out) { out.push_back('D'); });
  XML_StopParser(r.parser, XML_FALSE);
}

void XMLCALL RecordDoctype(void* userData, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  Recorder& r = *static_cast<Recorder*>(userData);
  Record(r, [](std::string& out) { out.push_back('T'); });
  XML_StopParser(r.parser, XML_FALSE);
}

// An entity declaration stops the parse (a chain of them would make the
// parser recurse once per link); the document type, refused before it, stops
// a per-user file first.
void XMLCALL RecordEntityDecl(void* userData, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                              const XML_Char*, const XML_Char*, const XML_Char*) {
  XML_StopParser(static_cast<Recorder*>(userData)->parser, XML_FALSE);
}

// ---- Loading thread side --------------------------------------------------------------

struct Reader {
  const char* p;
  const char* end;
  bool ok = true;

  uint32_t U32() {
    uint32_t v = 0;
    if (end - p < static_cast<long>(sizeof v)) {
      ok = false;
      return 0;
    }
    memcpy(&v, p, sizeof v);
    p += sizeof v;
    return v;
  }
  const char* Text(uint32_t* length) {
    *length = U32();
    if (!ok || static_cast<size_t>(end - p) < static_cast<size_t>(*length) + 1) {
      ok = false;
      return "";
    }
    const char* text = p;
    p += *length + 1;
    return text;
  }
};

}  // namespace

void SetUserFileHashSalt(unsigned long salt) { g_salt.store(salt, std::memory_order_relaxed); }
unsigned long GetUserFileHashSalt() { return g_salt.load(std::memory_order_relaxed); }

void RecordUserFileEvents(const FileReadResult& result, const std::string& data, std::string& record) {
  record.clear();
  if (result.code != 0 || data.empty()) return;
  if (t_parser == nullptr) {
    t_parser.reset(XML_ParserCreate("UTF-8"));
    if (t_parser == nullptr) return;
  }
  XML_Parser parser = t_parser.get();
  XML_ParserReset(parser, "UTF-8");
  if (const unsigned long salt = GetUserFileHashSalt(); salt != 0) XML_SetHashSalt(parser, salt);
  Recorder r{parser, &data, &record};
  XML_SetUserData(parser, &r);
  XML_SetElementHandler(parser, RecordStart, RecordEnd);
  XML_SetCharacterDataHandler(parser, RecordCharData);
  XML_SetXmlDeclHandler(parser, RecordDeclaration);
  XML_SetStartDoctypeDeclHandler(parser, RecordDoctype);
  XML_SetEntityDeclHandler(parser, RecordEntityDecl);
  try {
    record.reserve(data.size() + data.size() / 2 + 16);
    int error = 0;
    if (data.size() <= static_cast<size_t>(INT32_MAX)) {
      if (XML_Parse(parser, data.data(), static_cast<int>(data.size()), 1) != XML_STATUS_OK) {
        error = static_cast<int>(XML_GetErrorCode(parser));
      }
    } else {
      error = static_cast<int>(XML_GetErrorCode(parser));
    }
    const uint32_t line = static_cast<uint32_t>(XML_GetCurrentLineNumber(parser));
    record.push_back('Z');
    PutU32(record, static_cast<uint32_t>(error));
    PutU32(record, line);
  } catch (const std::exception&) {
    r.failed = true;
  }
  if (r.failed) record.clear();
}

UserFileReplay ReplayUserFileEvents(const std::string& record) {
  UserFileReplay result;
  Reader in{record.data(), record.data() + record.size()};
  std::vector<const char*> attributes;
  while (in.ok && in.p < in.end) {
    const char kind = *in.p++;
    uint32_t length = 0;
    switch (kind) {
      case 'S': {
        const uint32_t line = in.U32();
        const uint32_t pairs = in.U32();
        const char* name = in.Text(&length);
        attributes.clear();
        for (uint32_t i = 0; in.ok && i < 2 * pairs; ++i) attributes.push_back(in.Text(&length));
        attributes.push_back(nullptr);
        if (in.ok && !UsersTreeStartElement(name, attributes.data())) {
          result.xmlError = XML_ERROR_ABORTED;
          result.line = line;
          return result;
        }
        break;
      }
      case 'C': {
        const uint32_t line = in.U32();
        const char* text = in.Text(&length);
        if (in.ok && !UsersTreeCharData(text, static_cast<int>(length))) {
          result.xmlError = XML_ERROR_ABORTED;
          result.line = line;
          return result;
        }
        break;
      }
      case 'E': {
        const char* name = in.Text(&length);
        if (in.ok) UsersTreeEndElement(name);
        break;
      }
      case 'D':
        result.declarationRefused = true;
        break;
      case 'T':
        result.doctypeRefused = true;
        break;
      case 'Z':
        result.xmlError = static_cast<int>(in.U32());
        result.line = in.U32();
        result.parsedWhole = in.ok && result.xmlError == 0;
        return result;
      default:
        in.ok = false;
        break;
    }
  }
  // A record cut short is a recorder's fault, not the file's: stopped.
  result.xmlError = XML_ERROR_ABORTED;
  return result;
}
