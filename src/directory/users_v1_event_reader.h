// The older event-driven reader of a version-1 users file: each USER element
// is read straight into a record as the parser reports it, without the users
// tree (so no settings: USERDATA and anything else unexpected is passed
// over). The current readers build the tree instead (users_files.h).
// Directory layer: calls the user records, the users tree's character
// handler and value stack (the same tokenizer as the current reader), the
// XML guard, the utilities and the log.
#pragma once

#include <string>

struct UserStruct;

// The reader's states and the actions that move between them:
//
//   START --<USERS>--> USERS --<USER> (clear scratch)--> USER
//   USER --<child> StartUserChildNode--> CHILD --</child> EndUserChildNode
//        (SetXMLUserUID for UID, AddXMLUserField for FIELD)--> USER
//   USER --<other>/<FIELD without NAME first> (logged)--> SKIP --(its end)--> USER
//   CHILD --<any>--> SKIP --(its end)--> CHILD
//   USER --</USER> AddXMLUser--> USERS --</USERS>--> DONE
//   START --<other root>--> ERROR;  USERS --<not USER>--> ERROR
enum UsersEventState {
  USERS_EVENT_START,
  USERS_EVENT_USERS,
  USERS_EVENT_USER,
  USERS_EVENT_CHILD,
  USERS_EVENT_SKIP,
  USERS_EVENT_DONE,
  USERS_EVENT_ERROR,
};

// Reads the version-1 users file at `path` event by event, in 512-byte
// pieces, adding each user with AddUser. -1 when the file cannot be opened
// (logged "Unable to open users file >%s<"), does not parse (logged "XML
// error %s at line %d"), declares entities, or its structure is wrong (a
// root other than USERS, an element other than USER inside it); the users
// added before the failure stay. Otherwise 0 when every user was added, 2
// when one or more were refused (logged; the others are added). Sets the
// users time when the document was read.
int ReadUsersXMLEvents(const char* path);

// ---- The actions (exposed for tests) -------------------------------------------------

// The element `name` opens inside a USER: true (state CHILD) for USERNAME,
// FORENAME, SURNAME, EMAIL, FIELD, GROUPLIST, PASSWORD, ADUSER, LEVEL,
// PASSWORDV2 and UID; any other is logged "Node >%s< was unexpected within
// user node" and a FIELD whose first attribute is not NAME "Field node given
// but first attribute is not name"; both give false (the element is passed over).
bool StartUserChildNode(const char* name, const char** attributes);

// The child element ends with its text (trailing line feeds removed): the
// main fields into the scratch record (PASSWORD and UID hexadecimal, LEVEL
// and ADUSER decimal), FIELD through AddXMLUserField.
void EndUserChildNode(const char* name, const std::string* text);

// The scratch record's UID from a hexadecimal text.
void SetXMLUserUID(const char* text);

// Adds the FIELD (name, value) to the scratch record (AddUserField); a field
// without a name is logged "Unable to add XML field as no name". AddUserField's
// codes (7 for a name given twice, logged there).
int AddXMLUserField(const char* name, const char* value);

// Checks the scratch record's name ("Cannot add user as NULL user name
// given", "Cannot add user >%s< as this is not a valid user name"), adds the
// user with AddUser (name, scratch UID) and moves the gathered values into
// it. 0; 2 a refused name or an AddUser refusal; 1 no memory. The scratch is
// cleared either way.
int AddXMLUser();

// The scratch record the actions fill (tests).
UserStruct& GetEventUserScratch();
