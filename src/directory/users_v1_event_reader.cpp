// The event-driven version-1 users reader: records straight from the parser
// events, on the users tree's tokenizer (its character handler, the XML value
// stack, 512-byte pieces, the entity guard).
// Directory layer: user records, users tree handlers, the shared main-field
// reading, the XML guard and value stack, the utilities and the log.
#include "directory/users_v1_event_reader.h"

#include <expat.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "directory/user_main_fields.h"
#include "directory/user_records.h"
#include "directory/users_tree.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_guard.h"
#include "foundation/xml/xml_value_stack.h"
#include "platform/clock.h"

namespace {

constexpr size_t kReadPieceBytes = 512;

const char* const kUserChildren[] = {"USERNAME", "FORENAME", "SURNAME", "EMAIL",      "FIELD", "GROUPLIST",
                                     "PASSWORD", "ADUSER",   "LEVEL",   "PASSWORDV2", "UID"};

struct EventReader {
  XML_Parser parser = nullptr;
  UsersEventState state = USERS_EVENT_START;
  UsersEventState resume = USERS_EVENT_USER;  // where a SKIP returns to
  int skipDepth = 0;
  std::optional<std::string> fieldName;  // NAME of the FIELD being read
  int refused = 0;                       // users AddXMLUser refused
};

EventReader g_reader;
UserStruct g_eventScratch;  // never registered: AddUser makes the record

void Fail(const char* format, const char* name) {
  WriteLog(0, format, name);
  g_reader.state = USERS_EVENT_ERROR;
  XML_StopParser(g_reader.parser, XML_FALSE);
}

void Skip(UsersEventState resume) {
  g_reader.resume = resume;
  g_reader.state = USERS_EVENT_SKIP;
  g_reader.skipDepth = 1;
}

void XMLCALL EventStart(void*, const char* name, const char** attributes) {
  EventReader& r = g_reader;
  switch (r.state) {
    case USERS_EVENT_START:
      if (!EqualsNoCase(name, kUsersRootName)) return Fail("Root node is >%s< rather than USERS as required", name);
      r.state = USERS_EVENT_USERS;
      return;
    case USERS_EVENT_USERS:
      if (!EqualsNoCase(name, kUserNodeName)) return Fail("Got node >%s< expecting USER", name);
      g_eventScratch = UserStruct{};
      r.state = USERS_EVENT_USER;
      return;
    case USERS_EVENT_USER:
      if (!StartUserChildNode(name, attributes)) return Skip(USERS_EVENT_USER);
      ClearCurrentXMLValue();
      r.state = USERS_EVENT_CHILD;
      return;
    case USERS_EVENT_CHILD:
      WriteLog(0, "Node >%s< was unexpected within user node", name);
      return Skip(USERS_EVENT_CHILD);
    case USERS_EVENT_SKIP:
      ++r.skipDepth;
      return;
    default:
      return;
  }
}

void XMLCALL EventEnd(void*, const char* name) {
  EventReader& r = g_reader;
  switch (r.state) {
    case USERS_EVENT_SKIP:
      if (--r.skipDepth == 0) r.state = r.resume;
      return;
    case USERS_EVENT_CHILD: {
      const std::optional<std::string> text = TakeXMLValue();  // trailing line feeds removed
      EndUserChildNode(name, text ? &*text : nullptr);
      r.state = USERS_EVENT_USER;
      return;
    }
    case USERS_EVENT_USER:
      if (AddXMLUser() != FR_OK) ++r.refused;
      r.state = USERS_EVENT_USERS;
      return;
    case USERS_EVENT_USERS:
      r.state = USERS_EVENT_DONE;
      return;
    default:
      return;
  }
}

// Only a leaf's text is gathered, through the users tree's own handler (its
// failure flag and stop work on the parser given as its user data).
void XMLCALL EventCharData(void*, const char* text, int length) {
  if (g_reader.state == USERS_EVENT_CHILD) UsersXMLCharData(g_reader.parser, text, length);
}

}  // namespace

UserStruct& GetEventUserScratch() { return g_eventScratch; }

bool StartUserChildNode(const char* name, const char** attributes) {
  bool known = false;
  for (const char* child : kUserChildren) known = known || EqualsNoCase(name, child);
  if (!known) {
    WriteLog(0, "Node >%s< was unexpected within user node", name);
    return false;
  }
  g_reader.fieldName.reset();
  if (EqualsNoCase(name, "FIELD")) {
    if (attributes == nullptr || attributes[0] == nullptr || !EqualsNoCase(attributes[0], "NAME")) {
      WriteLog(0, "Field node given but first attribute is not name");
      return false;
    }
    g_reader.fieldName = attributes[1];
  }
  return true;
}

void EndUserChildNode(const char* name, const std::string* text) {
  if (EqualsNoCase(name, "FIELD")) {
    AddXMLUserField(g_reader.fieldName ? g_reader.fieldName->c_str() : nullptr, text ? text->c_str() : nullptr);
    g_reader.fieldName.reset();
    return;
  }
  if (text == nullptr) return;  // an element without text changes nothing
  if (EqualsNoCase(name, "UID")) {
    SetXMLUserUID(text->c_str());
  } else {
    SetUserMainFieldFromText(g_eventScratch, name, *text);
  }
}

void SetXMLUserUID(const char* text) {
  g_eventScratch.header.uid = text != nullptr ? ParseHex32LikeStrtoul(text) : 0;
}

int AddXMLUserField(const char* name, const char* value) {
  if (name == nullptr || name[0] == '\0') {
    WriteLog(0, "Unable to add XML field as no name");
    return FR_INVALID_PARAMETER;
  }
  return AddUserField(&g_eventScratch, name, value);
}

int AddXMLUser() {
  UserStruct scratch = std::exchange(g_eventScratch, UserStruct{});
  if (!scratch.USERNAME) {
    WriteLog(0, "Cannot add user as NULL user name given");
    return FR_INVALID_PARAMETER;
  }
  const std::string name = *scratch.USERNAME;
  if (!IsValidUserName(name.c_str())) {
    WriteLog(0, "Cannot add user >%s< as this is not a valid user name", name.c_str());
    return FR_INVALID_PARAMETER;
  }
  AddUserFailure why = ADD_USER_OK;
  const int index = AddUser(name.c_str(), scratch.header.uid, &why);  // logs its refusals
  if (index < 0) return why == ADD_USER_NO_MEMORY ? FR_NO_MEMORY : FR_INVALID_PARAMETER;
  UserStruct* user = GetUserByIndex(index);
  // The record becomes the gathered values whole (nothing of default_user
  // that AddUser copied stays); its address, UID and so its registry entry stay.
  const NodeHeader header = user->header;
  *user = std::move(scratch);
  user->header.uid = header.uid;
  user->header.kind = NODE_KIND_USER;
  user->USERDATA = nullptr;
  NoteUserRecordChanged();
  return FR_OK;
}

int ReadUsersXMLEvents(const char* path) {
  FILE* fp = path != nullptr && path[0] != '\0' ? std::fopen(path, "rb") : nullptr;
  if (fp == nullptr) {
    WriteLog(1, "Unable to open users file >%s<", path != nullptr ? path : "");
    return -1;
  }
  XML_Parser parser = XML_ParserCreate("UTF-8");
  if (parser == nullptr) {
    std::fclose(fp);
    WriteLog(1, "Unable to open users file >%s<", path);
    return -1;
  }
  g_reader = EventReader{};
  g_reader.parser = parser;
  g_eventScratch = UserStruct{};
  ClearXMLValueStack(1);
  ClearCurrentXMLValue();
  ClearUsersReadFailure();
  XML_SetElementHandler(parser, EventStart, EventEnd);
  XML_SetCharacterDataHandler(parser, EventCharData);
  RefuseXMLEntityDeclarations(parser);

  bool ok = true;
  char piece[kReadPieceBytes];
  for (;;) {
    const size_t got = std::fread(piece, 1, sizeof piece, fp);
    const bool last = got < sizeof piece;  // a short piece is the last one
    if (XML_Parse(parser, piece, static_cast<int>(got), last ? XML_TRUE : XML_FALSE) == XML_STATUS_ERROR) {
      if (g_reader.state != USERS_EVENT_ERROR) {
        WriteLog(0, "XML error %s at line %d\n",
                 UsersReadFailed() ? "parsing stopped" : XML_ErrorString(XML_GetErrorCode(parser)),
                 static_cast<int>(XML_GetCurrentLineNumber(parser)));
      }
      ok = false;
      break;
    }
    if (last) break;
  }
  std::fclose(fp);
  XML_ParserFree(parser);
  ClearXMLValueStack(1);
  ClearCurrentXMLValue();
  const int refused = g_reader.refused;
  const bool done = g_reader.state == USERS_EVENT_DONE;
  g_reader = EventReader{};
  g_eventScratch = UserStruct{};
  if (!ok || !done) return -1;
  SetUsersTime(NowTime32());
  return refused == 0 ? FR_OK : FR_INVALID_PARAMETER;
}
