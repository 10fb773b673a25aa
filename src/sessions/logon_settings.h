// What the logons need besides the slots: the AuthenticationFlags word and the
// insecure-AD flag read from the server's own settings, the password expiry
// rule, the computer's domain, and the text conversions of the directory
// logons (UTF-8 to UTF-16 for the bind, Latin-1 to UTF-8 for type 3 names).
// Sessions layer: calls the settings API, the directory store's password
// dates and user settings, the platform account layer and the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// ---- AuthenticationFlags ---------------------------------------------------------

constexpr uint32_t kAuthAllowGuest = (1u << 0);     // an AD user not in the directory logs on as guest
constexpr uint32_t kAuthAllowADToken = (1u << 1);   // kept for clients; token type 4 is refused anyway
constexpr uint32_t kAuthAllowADUser = (1u << 2);    // AD user without password (token type 3)
constexpr uint32_t kAuthAllowADUP = (1u << 3);      // AD user and password (token type 2)
constexpr uint32_t kAuthAllowInternal = (1u << 4);  // internal users (token types 1, 6, 7)

// The settings (environment "Live", application "Torvane") behind the word.
constexpr const char kAllowGuestLoginSetting[] = "Authentication\\AllowGuestLogin";
constexpr const char kAllowADTokenLoginSetting[] = "Authentication\\AllowADTokenLogin";
constexpr const char kAllowADUserLoginSetting[] = "Authentication\\AllowADUserLogin";
constexpr const char kAllowADUPLoginSetting[] = "Authentication\\AllowADUPLogin";
constexpr const char kAllowInternalLoginSetting[] = "Authentication\\AllowInternalLogin";
constexpr const char kInsecureADAuthenticationSetting[] = "Authentication\\InsecureADAuthentication";

// Rebuilds the word and the insecure-AD flag from the settings (start-up, and
// when the settings of "Live"/"Torvane" are replaced). Both are 0 until then.
void ReadAuthenticationSettings();
// The current word, sent after refusals and failed logons.
uint32_t GetAuthenticationFlags();
// Non-zero: the AD password logon uses plain LDAP (passwords in clear).
int GetInsecureADAuthentication();
// Tests: set both directly.
void SetAuthenticationFlags(uint32_t flags, int insecureAD);

// ---- Password expiry ----------------------------------------------------------------

// The maximum password age in days: the number that atoi reads right after
// the first lower-case 'a' of the password-rules text, saturating at the
// 32-bit bounds; 0 when there is no rules text or no 'a'.
int32_t GetPasswordMaxAge();

// True when the user's password has expired: a maximum age above 0, the
// user's Passwords\NeverExpires 0, a Passwords\Date that is not 0 (read as a
// signed 32-bit time, so 0x80000000 and above lie before 1970) and below
// today's day boundary minus the maximum age, all in 64-bit arithmetic.
bool PasswordHasExpired(const char* user);

// ---- The computer's domain -------------------------------------------------------------

constexpr size_t kComputerDomainBufferSize = 256;  // at most 255 bytes are kept

// The domain: the platform's explicit setting when there is one, else the
// part of the server's account name before its first backslash (empty when
// it has none). Once a non-empty text is found it is kept for the process.
const std::string& GetComputerDomainName();
// Start-up: finds the domain and hands it to the directory store's
// domain\user rule.
void InitComputerDomain();
// Tests: forget the domain found, so the next call looks again.
void ResetComputerDomainName();

// ---- Text conversions ---------------------------------------------------------------------

// UTF-8 (at most `byteLength` bytes, ended by a NUL or that length) to
// UTF-16: a byte below 0x80 is one unit; 110xxxxx with one more byte and
// 1110xxxx with two more give one unit each (the following bytes are not
// tested for the 10xxxxxx form); a stray 10xxxxxx byte, a lead byte of a
// four-byte or longer sequence, or a sequence cut short by the NUL or the
// length logs "Unhandled UTF8 encountered" and gives none. *unitCount (when
// given) gets the number of units; the result is ended by a 0 unit.
std::optional<std::u16string> ConvertUTF8ToUTF16(const char* text, size_t byteLength, size_t* unitCount);

// Latin-1 to UTF-8: each byte from 0x80 becomes 0xC0|(b>>6), 0x80|(b&0x3F).
std::string ConvertLatin1ToUTF8(const char* text);

// True when a logon name may be stored in a slot: valid UTF-8 of XML
// characters with no control byte (the session documents carry it).
bool IsStorableLogonName(const char* name);
