// The users tree: the in-memory USERS document (one USER node per user, each
// owning its USERDATA settings tree), the one way its nodes are removed, the
// Expat handlers that build it from the users files and from client XML, the
// one answer to "the USER node of this record", a new user's settings
// template, and the store operations that keep records and nodes in step
// (adding a user from a client, deleting a user with its node).
// Directory layer: calls the XML toolkit (tree, value stack), the user
// records, the log. Server thread only; the parse state is process-wide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "directory/user_records.h"
#include "foundation/uid/node_header.h"

struct XMLNode;           // foundation/xml/xml_tree.h
struct XML_ParserStruct;  // <expat.h>: XML_Parser is XML_ParserStruct*

// ---- Fixed names ---------------------------------------------------------------------

constexpr const char kUsersRootName[] = "USERS";        // the document element
constexpr const char kUserNodeName[] = "USER";          // one per user
constexpr const char kUserNameNodeName[] = "USERNAME";  // the name child of a USER node
constexpr const char kADUserNodeName[] = "ADUSER";
constexpr const char kUserDataName[] = "USERDATA";      // the settings child of a USER node

// Deepest nesting of settings nodes below USERDATA (a section is depth 1) that
// the users files can hold and still read back: the users reader keeps one
// value-stack entry per open element (USERS, USER, USERDATA, then these) and
// stops at kXMLMaxDepth. Writers refuse deeper trees (2); setters should
// refuse paths that would go deeper.
constexpr int kMaxUserDataDepth = 250;

// ---- Invariants (kept by every operation of the directory store) ----------------------
// - Every USER child of the root belongs to at most one record, and every
//   record that has a USERDATA link has it pointing at the USERDATA child of
//   its own USER node (a child of the root). No two records share a node.
// - A converted USER node keeps one USERNAME child (its record's name), at
//   most one ADUSER, at most one USERDATA and the children the conversion
//   does not read; the record holds the other main fields and the fields
//   (ConvertXMLNodeToUser), so a lookup by name never reaches another
//   user's node. Removals by name pass over nodes a record holds.
// - Nodes of the tree are freed only by the removal operations below
//   (RemoveUsersTreeNode, RemoveUsersTreeNodesIf, RemoveUsersTreeChildren,
//   FreeUsersXMLTree): each clears every record's link into what it removes
//   before freeing it, so a link never dangles. A plain AddUser record may
//   share default_user's link until it gets a node of its own; it loses the
//   link when default_user's settings go.
// - "The USER node of this record" is answered by UserNodeOfRecord alone.

// ---- The tree ------------------------------------------------------------------------

// The root (document element USERS), or null while there is no tree.
XMLNode* GetUsersTreeRoot();

// Makes `root` (a detached node, owned from now on) the root; the old tree is
// freed first (FreeUsersXMLTree). Null just frees the tree.
void SetUsersTreeRoot(XMLNode* root);

// To be called when `node`, a USER child of the root, has been put into the
// root or has been given USERNAME children other than by a parse into the
// tree (a client's node moved in whole, children moved into it), so that the
// lookups by name find it by each of its names. Nothing for other nodes.
// Every USER node a user of the store finds by name went in through a parse,
// MakeUserNodeForRecord or this; the texts of its USERNAME children do not
// change afterwards (a new text comes as a new child).
void NoteUserNodeNames(XMLNode* node);

// Room in the table of names for `count` USER nodes in all, for a load that
// knows how many users it reads (a hint: without memory nothing happens).
void ReserveUserNodeNames(size_t count);

// The parse cursor: the node under which the next parsed element is appended;
// null between parses (the next element then becomes the root when there is
// none, else a top-level node kept beside the root and freed with it).
XMLNode* GetUsersTreeCursor();
void SetUsersTreeCursor(XMLNode* node);

// Frees the whole tree (root, cursor none) and clears the USERDATA link of
// every record, which would otherwise dangle. 0.
int FreeUsersXMLTree();

// ---- Removing nodes (the only way a node of the tree is freed) -------------------------
// Each clears first every record's settings link into the nodes it removes:
// for a user's node or settings, the links of the records its names name
// (a lookup each); for the root, a holder or default_user's node (whose link
// plain AddUser records copy), in one pass over the records for all of them.

// Removes the node (unlinked from its parent first) with its subtree. Null:
// nothing. Also for nodes of detached trees (client text being applied).
void RemoveUsersTreeNode(XMLNode* node);

// Removes the given children of the root with their subtrees in one pass
// over the root's children (a load leaving out many users). Nodes not
// children of the root are ignored.
void RemoveUsersTreeChildren(const std::vector<XMLNode*>& nodes);

// Removes, with their subtrees, the children of `parent` for which `drop`
// answers true, in one pass over the children however many go (deleting
// them one at a time walks the child list once each). The kept children stay
// in their order.
void RemoveUsersTreeNodesIf(XMLNode* parent, const std::function<bool(const XMLNode*)>& drop);

// A new node named `name` (with the text `value` when not null), named
// before it is appended as the last child of `parent` (detached for null),
// so that no nameless node is ever left in the tree. Null without memory
// (logged; nothing left behind).
XMLNode* AppendNamedUsersChild(XMLNode* parent, std::string_view name, const char* value = nullptr);

// ---- Parsing into the tree ---------------------------------------------------------------

// The skipped element name: while set, the start and end of an element of that
// name (case-insensitive) make no node and its content goes to the current
// node. Null clears it. The text is copied.
void SetUsersSkippedElementName(const char* name);
const char* GetUsersSkippedElementName();

// The read failure flag: set by the handlers when memory runs out, the
// nesting is too deep, or a user-list entry has no usable UID.
void ClearUsersReadFailure();
void SetUsersReadFailure();
bool UsersReadFailed();

// The users-tree handlers (the parser's user data must be the parser itself,
// which InstallUsersTreeHandlers arranges; a handler that sets the failure
// flag also stops the parse, so XML_Parse then answers an error and the
// caller checks UsersReadFailed):
//   start: push the current XML value, append a node named as the element
//          (with copies of its attributes, in order) under the cursor and make
//          it the cursor; the first node of an empty tree becomes the root;
//   character data: appended to the current XML value (grows geometrically);
//   end: the cursor's text becomes the gathered value without its trailing
//        line feeds (none when nothing was gathered); the cursor moves to its
//        parent and the value stack is popped.
//
// Their work, without a parser (a replay of events recorded elsewhere calls
// these too): false when this event failed the read (the failure flag is
// then set; the handler stops its parser); an event after a failure does
// nothing.
bool UsersTreeStartElement(const char* name, const char** attributes);
void UsersTreeEndElement(const char* name);
bool UsersTreeCharData(const char* text, int length);
void UsersXMLStartElement(void* userData, const char* name, const char** attributes);
void UsersXMLEndElement(void* userData, const char* name);
void UsersXMLCharData(void* userData, const char* text, int length);

// Installs the three handlers above on the parser (and the parser as its own
// user data).
void InstallUsersTreeHandlers(XML_ParserStruct* parser);

// One parse of `length` bytes of `text` (final) with the users-tree handlers,
// the cursor set to `parent` (null: as described at GetUsersTreeCursor), the
// value stack and the failure flag cleared first; the cursor is null again
// afterwards. 0; 20 on a parse error ("XML error %s at line %d\n" logged) or a
// failure during the parse ("out of memory" cases included). On 20 every node
// the parse made is removed again (and a root it made is freed), so `parent`
// and the tree are as before. For ParseXMLStringIntoNode of the settings.
int ParseTextIntoUsersTree(const char* text, size_t length, XMLNode* parent);

// ---- Lookups -------------------------------------------------------------------------------

// The first child of `node` whose name equals `name` without regard to case
// (nameless children are passed over); null for no node or a null or empty
// name.
XMLNode* FindXMLChildNode(const XMLNode* node, const char* name);

// The decimal value of the text of the first ADUSER child that has text; 0
// when there is none (and for null).
int IsXMLUserADUser(const XMLNode* userNode);

// The part after the backslash when `name` is domain\user and the domain is
// the computer domain (IsLocalDomainUserName); otherwise `name` itself. Points
// into `name`; null for null.
const char* StripLocalDomain(const char* name);

// The USER node of the user `name`: the first USER child of the root that has
// a USERNAME child with text equal to `name` without regard to case, or equal
// to StripLocalDomain(name) while the node's ADUSER is non-zero (so CORP\bob
// finds the Active Directory user bob of the computer domain, never an
// internal bob). Null for a null or empty name or no tree. Linear.
XMLNode* FindXMLUserNode(const char* name);

// The names of the USER children of the root, folded, each with the first
// node of that name: for passes over every record (BuildUserNodeIndex).
struct UserNodeIndex {
  std::unordered_map<std::string, XMLNode*> byName;
};
int BuildUserNodeIndex(UserNodeIndex& index);  // 0; 1 no memory (index empty)

// The USER node of the record, or null when it has none of its own: the
// parent of its settings link when that is a USER child of the root named
// like the record (a bisection and one step, the usual case), else the first
// USER child of the root whose USERNAME equals the record's name without
// regard to case (no domain rule), looked up in `index` when one is given,
// else in the tree's table of names (a walk only when two or more nodes bear
// the name, for the first of them). The one answer to that question for the
// whole store.
XMLNode* UserNodeOfRecord(const UserStruct* user, const UserNodeIndex* index = nullptr);

// UserNodeOfRecord's first step alone: the USER node its settings link leads
// to, or null when the link does not lead to a node of the record's own.
XMLNode* LinkedUserNodeOfRecord(const UserStruct* user);

// The record whose USER node (UserNodeOfRecord) `userNode` is, or null (a
// node left without a record).
UserStruct* RecordOfUserNode(const XMLNode* userNode);

// A new user's settings: a deep copy of default_user's USERDATA `defaults`
// as the template it is, without what is default_user's own: the
// Live\Torvane\Passwords\Date and Passwords\Old nodes (a new user has no
// password date and no history until InitPasswordDates or its first
// password). An empty USERDATA for null. Detached; null without memory.
XMLNode* CopyUserDataTemplate(const XMLNode* defaults);

// ---- Keeping records and nodes in step -------------------------------------------------------

// True when a client may give a new user named `name` the UID `uid`: 0
// (a new UID is issued) and every ordinary UID; of the UIDs of built-in
// objects (4000000000 and above) only the fixed UID of the built-in account
// of that name (administrator, guest, default_user, ZentakUser), so that no
// user takes the UID of a built-in group, the default permission, the
// configuration root or another built-in account.
bool IsUIDAllowedForClientUser(const char* name, UID uid);

// Adds a user for a client (the add-user requests): checks the name
// (IsValidUserName) and the UID (IsUIDAllowedForClientUser), runs AddUser
// (name, uid), then gives the new record its own
// USER node, appended to the root (made when there is none), as
// MakeUserNodeForRecord makes it. Every
// leftover node of that name (a user deleted without its node) that no other
// record holds is removed first, found by name without a walk of the tree,
// so the new user inherits nothing of it. The index of the new user,
// or -1 with *why: ADD_USER_NO_NAME also for a name IsValidUserName refuses,
// ADD_USER_UID_IN_USE also for a built-in object's UID, AddUser's reasons, ADD_USER_NO_MEMORY when the node cannot be made (the
// record is then removed again). Saves nothing: the caller saves
// (SaveUsers with the name).
int AddUserFromClient(const char* name, UID uid, AddUserFailure* why = nullptr);

// Deletes a user with its USER node: DeleteUser (name, force) and, when that
// gives 0, removes the node that belonged to the record and every other node
// of that name that no record holds. A record that still shares a settings
// link into that node (a plain AddUser copy of default_user not yet saved)
// loses the link and gets a node of its own at its next save.
// DeleteUser's codes. The per-user
// file goes at the caller's save (SaveUsers with the name rewrites the list
// without the user, then removes the file).
int DeleteUserAndNode(const char* name, bool force);

// Removes every USER child of the root named `name` (without regard to case,
// no domain rule) that no record holds, found by name without a walk: for a
// client's text that brings a user of that name with a node of its own.
void RemoveLeftoverUserNodes(const char* name);

// Makes a USER node for a record that has none of its own (as
// AddUserFromClient does): a USERNAME child and the settings template of
// default_user (CopyUserDataTemplate), and links the record to its USERDATA.
// Both ways a user comes to be (a client's add, a plain AddUser record at its
// first save) take their settings from here. 0; 1 no memory; 2 no record or
// no name.
int MakeUserNodeForRecord(UserStruct* user);

// ---- Tests ----------------------------------------------------------------------------------

// Test aid: the faults of the table of names against the tree, the pairs
// (USER child of the root, USERNAME text) it misses and the pairs it holds
// that the tree does not call for (a node gone or renamed by hand); 0 while
// they are in step.
size_t CountUserNodeNameFaults();

// Back to the process-start state: tree freed, cursor none, no skipped name,
// failure flag clear.
void ResetUsersTree();
