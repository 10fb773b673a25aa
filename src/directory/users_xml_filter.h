// The users documents as a caller without the administration bit may see
// them: other users' password hashes (PASSWORD, PASSWORDV2) and password
// history (Live\Torvane\Passwords\Old) are cut out of the text.
// Directory layer: calls the users files (list and per-user files), the users
// XML exchange, Expat with the foundation's parser guard, and the log.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "foundation/uid/node_header.h"

// What a document given to StripPasswordSecrets is.
enum SecretsDocument : int {
  // USER elements, alone or as children of the root (a users document):
  // their PASSWORD and PASSWORDV2 children and their
  // USERDATA\Live\Torvane\Passwords\Old elements go, except in the USER
  // whose UID element holds `keepFor`.
  SECRETS_USERS = 0,
  // The Live\Torvane subsection of one user's settings as its root: its
  // Passwords\Old elements go (`keepFor` is not looked at).
  SECRETS_LOGIN_SUBSECTION = 1,
};

// Copies `text` to `out` without the elements the kind names (element names
// compared without regard to case; each cut element takes the line end that
// follows it along). Every other byte stays as it was. False (out empty,
// logged) when the text does not parse as XML; out of memory throws
// std::bad_alloc.
bool StripPasswordSecrets(std::string_view text, SecretsDocument kind, UID keepFor, std::string& out);

// The all-users document of GetAllUsersXMLV2 (the files on disk in list
// order) with every user's file other than that of `keepFor` passed through
// StripPasswordSecrets. A file that does not parse is left out and logged,
// as an unreadable one is. Codes as GetAllUsersXMLV2.
std::optional<std::string> GetUsersXMLWithoutSecrets(const char* home, UID keepFor, int* failReason);
