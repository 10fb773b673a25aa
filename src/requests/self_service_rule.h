// The one rule for the settings a caller without the administration bit may
// change in its own (or, where a handler allows, another user's) settings
// tree: nobody grants itself configuration rights or clears its own password
// state. Every self-service handler asks here before it calls the store.
// Requests layer: calls the XML toolkit and the case-insensitive compare of
// the foundation and, for a clear of a whole subsection, the per-user settings.
#pragma once

struct XMLNode;

// ---- What is protected -----------------------------------------------------------
// Names are compared without regard to case; a path is a backslash-separated
// list of names below section\subsection, and its empty elements (a leading,
// doubled or trailing backslash) are passed over, so "Passwords\" and
// "Passwords\\Old" are read as the store would reach them at most.
//
//   section\subsection\AllowConfiguration   (any section, any subsection:
//                                            the configuration right)
//   Live\Torvane\Passwords and all below it (MustChange, CannotChange,
//                                            NeverExpires, Date, Old\PWn)
//
// A write (a value set, a node made) or delete at or under a protected node is
// refused. A delete of a node that holds Live\Torvane\Passwords (the section
// "Live", the subsection Live\Torvane) is refused too; a delete of any other
// section or subsection is not, though it may hold an AllowConfiguration:
// dropping that takes a right away and grants none.

// ---- Single changes ------------------------------------------------------------------

// True when a caller without the administration bit may write or delete the
// node at section\subsection\path. A null or empty path means the subsection
// itself, and a null or empty subsection too the section itself (only ever a
// delete: the setters need a path). A null or empty section: true (the store
// refuses it with 2 anyway).
bool SelfServiceMayChange(const char* section, const char* subsection, const char* path);

// True when such a caller may append an element named `element` under
// section\subsection\parentPath (parentPath null or empty: the subsection).
bool SelfServiceMayAppend(const char* section, const char* subsection, const char* parentPath,
                          const char* element);

// ---- A branch replaced from XML text --------------------------------------------------

// True when such a caller may make the change SetUserAppBranchXML would make
// in `user`'s settings for (section, subsection, branch, clearExisting, text):
// the branch's nodes made (clearExisting 0) or its last node deleted
// (clearExisting set), and the text's element appended beside the branch's
// last node (or to the subsection). A clear with an empty branch deletes every
// child of the subsection: refused for Live\Torvane, and for any other
// subsection that holds an AllowConfiguration (looked up in `user`'s tree as
// the store would find it). A branch or a text that holds a node named
// AllowConfiguration at any depth is refused too: the store appends the
// text's elements, so a subsection element sent whole (as 6637 gives it)
// would nest its right one level down, a node the users file then holds
// under the right's name though no lookup reads it as one. A
// text that does not parse is allowed here: the store then refuses it (20)
// and changes nothing.
bool SelfServiceMayReplaceBranch(const char* user, const char* section, const char* subsection,
                                 const char* branch, int clearExisting, const char* text);

// ---- A whole settings tree replaced ------------------------------------------------------

// True when the USERDATA tree `replacement` keeps every protected node of
// `current` as it is: the same protected nodes, in the same order, with the
// same names (without regard to case), values and subtrees; and the same
// among them where the lookups find them (the first section, subsection and
// node of a name, without regard to case), so that no section placed before
// another hides its protected nodes. Either tree may be null (no settings).
// For a caller that replaces its own user record.
bool SelfServiceKeepsProtectedSettings(const XMLNode* current, const XMLNode* replacement);
