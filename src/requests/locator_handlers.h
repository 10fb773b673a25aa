// The server locator requests: 6683 picks one active server of an
// application's server list (no logon needed; a logged-on caller's own
// ServerTagList adjusts the requested tags first) and 6684 answers the XML of
// one or of every fitting server. Also the tag-list adjustment they share.
// Requests layer: calls the handler conventions, the server lists (config),
// the per-user settings (directory), the slot lookup (sessions) and the log.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

struct ConnectionRecord;

// ---- Adjusting the requested tags ------------------------------------------------------

// The per-user setting that adjusts the tags of 6683, under the requested
// environment as section and the requested application as subsection.
constexpr const char kServerTagListSetting[] = "ServerTagList";

// The adjusted tags never grow past this many bytes: a ServerTagList is the
// user's own text, and replacements that lengthen many tags could otherwise
// make one request build an arbitrarily long text. The adjustment then stops
// with the tags adjusted so far (logged). Real tag lists are far shorter, and
// a single tag over 511 bytes fits no server anyway.
constexpr size_t kMaxAdjustedTagsLength = 16384;

// The first comma-separated item of `text`, trimmed of blanks and tabs at
// both ends; *rest becomes the text after that comma, or none when there is
// no comma. No text: none, and *rest is left as it was.
std::optional<std::string_view> GetNextTag(std::optional<std::string_view> text,
                                           std::optional<std::string_view>* rest);

// The requested tags adjusted by a user's ServerTagList, entries applied from
// left to right to the result as it stands (entries trimmed of blanks and
// tabs; empty entries are skipped):
//   /old/new/  every tag of the result equal to old without regard to case
//              (tags trimmed; old and new taken as they stand) becomes new,
//              tags empty after that are dropped, the rest joined with ',';
//              no second '/': "ModifyTags:Failed to find replace slash", no
//              third: "ModifyTags:Failed to find end slash", and the
//              adjustment stops with what it has built;
//   other      appended after a ',' when the result is not empty; an empty
//              result stays empty (it still asks for "DEFAULT").
// No user list, or an empty one: the tags unchanged (none stays none).
// Otherwise absent tags count as the empty text and the result is a text.
std::optional<std::string> ModifyTags(std::optional<std::string> tags,
                                      std::optional<std::string> userList);

// ---- Handlers ---------------------------------------------------------------------------

// 6683: environment, application and tags (three wire strings, each of at
// most kMaxNoLogonStringLength bytes: a longer one gives FR_CLOSE_CONNECTION,
// and the dispatcher closes the connection). Replies 19 when no active server
// fits, else 0, the port (wire integer) and the host (wire string). A failed
// string read: no reply, no log line.
int IPFindServer(int sock, ConnectionRecord* conn);

// 6684: environment, application, tags (wire strings) and returnMultiple
// (wire integer). Replies one wire string and no status word: the XML of one
// fitting server (the list's mode picks it), or with returnMultiple non-zero
// of every fitting one; an absent string when nothing fits. The ServerTagList
// is not applied and ACTIVE is not looked at.
int IPFindServers(int sock);
