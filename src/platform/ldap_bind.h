// Directory binds for the Active Directory password logon, on the system's
// LDAP client library: opening a session to the directory (LDAP over TLS, or
// plain LDAP when the server is told to), an explicit connect with the TLS
// handshake, one simple bind of a UTF-16 identity under a bind name made
// from a template, and the abort of a session that another thread is
// connecting or binding. Platform layer: calls libldap only; keeps the URIs,
// the bind-name template and a CA file as process settings.
#pragma once

#include <memory>
#include <string>

// ---- Settings ----------------------------------------------------------------------

constexpr int kLdapSecurePort = 636;       // LDAP over TLS
constexpr int kLdapPlainPort = 389;        // plain LDAP: passwords travel in clear
constexpr int kLdapTimeoutSeconds = 10;    // network (connect) and operation time-outs; the whole bind's deadline
constexpr char kDefaultBindNameTemplate[] = "%D\\%A";  // down-level DOMAIN\account

// The session URIs. An empty text (the default) means the library's own
// default host (ldap.conf's URI or HOST, or its LDAPURI/LDAPHOST variables)
// as "ldaps://HOST:636" or "ldap://HOST:389". At first use the environment
// variables TORVANE_LDAPS_URI and TORVANE_LDAP_URI give the starting values.
void SetLdapURIs(const std::string& secureURI, const std::string& plainURI);
// The URI a session of that kind opens.
std::string GetLdapURI(bool insecure);

// The bind-name template: %A the account, %D the domain, %% a '%'; any other
// byte is copied. A template holding '=' is a distinguished name and the
// values are escaped as RFC 4514 says. The default template with an empty
// domain gives the account alone. An empty text restores the default; at
// first use TORVANE_LDAP_BIND_TEMPLATE gives the starting value.
void SetLdapBindNameTemplate(const std::string& bindTemplate);
std::string GetLdapBindNameTemplate();

// A CA certificate file for the TLS sessions in place of the library's own
// TLS_CACERT; empty (the default) keeps the library's.
void SetLdapCACertFile(const std::string& path);

// ---- Bind names ----------------------------------------------------------------------

// The value escaped for an RFC 4514 distinguished name: a backslash before
// each of " + , ; < > \ =, before a leading space or '#' and a trailing
// space; a NUL byte as \00. Other bytes (UTF-8 included) are kept.
std::string EscapeDNValue(const std::string& value);

// The bind name of the template for `account` in `domain` (see above).
std::string BuildBindName(const std::string& bindTemplate, const std::string& account,
                          const std::string& domain);

// ---- Sessions -----------------------------------------------------------------------

// The identity of a bind, as UTF-16 texts (the units of each, no terminator
// counted). Flags 2: the texts are Unicode.
constexpr unsigned kSecWinntAuthIdentityUnicode = 2;
struct SecWinntAuthIdentity {
  std::u16string User;
  std::u16string Domain;
  std::u16string Password;
  unsigned Flags = kSecWinntAuthIdentityUnicode;
};

struct LdapSession;  // one open session of the library
struct LdapSessionCloser {
  void operator()(LdapSession* session) const;  // unbinds and frees the session
};
using LdapSessionHandle = std::unique_ptr<LdapSession, LdapSessionCloser>;

// Opens a session to GetLdapURI(insecure): protocol 3, referrals off, the
// time-outs above and, for TLS, a certificate the CA must vouch for (a new TLS
// context for the session, so these options take effect). Nothing is sent.
// Null with *code the library's code when the session cannot be made.
LdapSessionHandle LdapOpenSession(bool insecure, int* code);

// Connects the session (TCP and, for TLS, the handshake with the certificate
// check). 0, or the library's non-zero code: server unreachable, TLS failure,
// time-out.
int LdapConnectSession(LdapSession* session);

// Makes the session's network steps end soon, from any thread, while another
// thread is in LdapConnectSession or LdapBindIdentity on it, or before it
// gets there: its connected socket is shut down (a TLS handshake or a bind
// that waits for the directory then fails at once), and a socket connected
// later is shut down as soon as it is. The session stays its owner's to close.
void LdapAbortSession(LdapSession* session);

// What LdapBindIdentity did.
enum LdapBindSent : int {
  LDAP_BIND_NOT_SENT = 0,  // refused before anything went to the server
  LDAP_BIND_SENT = 1,      // the bind request went out; the code is the server's or the library's
};

// One simple bind of the identity: the texts back to UTF-8, the bind name
// from the template. Refused without a bind (a non-zero code, *sent
// LDAP_BIND_NOT_SENT) when a text holds a unit 0 or a surrogate, or when the
// bind name or the password is empty: a simple bind without a password is an
// unauthenticated bind that servers answer with success. 0 when the server
// accepted the name and password.
int LdapBindIdentity(LdapSession* session, const SecWinntAuthIdentity& identity, int* sent);
