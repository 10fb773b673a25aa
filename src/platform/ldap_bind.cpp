// Directory binds on libldap: session settings, bind names, connect and
// bind, and the abort of a session another thread is connecting or binding.
// Platform layer: calls libldap and the C library only.
#include "platform/ldap_bind.h"

#include <ldap.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {
int KeepConnectedSocket(LDAP* ld, Sockbuf* sb, LDAPURLDesc* srv, struct sockaddr* addr, struct ldap_conncb* ctx);
void ForgetConnectedSocket(LDAP* ld, Sockbuf* sb, struct ldap_conncb* ctx);
}  // namespace

// One session. The library's own time-outs do not reach a TLS handshake, so
// the session keeps a descriptor of its connected socket (a duplicate, which
// no close by the library can hand to another socket), through which an
// abort shuts the socket down: every read and write on it then fails at once.
struct LdapSession {
  LDAP* ld = nullptr;
  std::mutex lock;           // heldFd and aborted, between the bind's thread and an abort
  int heldFd = -1;           // duplicate of the connected socket; -1 before the connect
  bool aborted = false;      // a socket connected from now on is shut down at once
  ldap_conncb callbacks{KeepConnectedSocket, ForgetConnectedSocket, this};
  explicit LdapSession(LDAP* handle) : ld(handle) {}
  ~LdapSession() {
    if (heldFd >= 0) close(heldFd);
  }
};

namespace {

// The library has connected the session's socket (TCP; the TLS handshake
// comes after this): keep a duplicate of it for an abort.
int KeepConnectedSocket(LDAP*, Sockbuf* sb, LDAPURLDesc*, struct sockaddr*, struct ldap_conncb* ctx) {
  auto* session = static_cast<LdapSession*>(ctx->lc_arg);
  ber_socket_t fd = -1;
  if (ber_sockbuf_ctrl(sb, LBER_SB_OPT_GET_FD, &fd) != 1 || fd < 0) return 0;
  std::lock_guard<std::mutex> hold(session->lock);
  if (session->heldFd >= 0) close(session->heldFd);
  session->heldFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (session->aborted && session->heldFd >= 0) shutdown(session->heldFd, SHUT_RDWR);
  return 0;
}

// The library closes a connection (or frees the session: no Sockbuf then).
void ForgetConnectedSocket(LDAP*, Sockbuf* sb, struct ldap_conncb* ctx) {
  if (sb == nullptr) return;
  auto* session = static_cast<LdapSession*>(ctx->lc_arg);
  std::lock_guard<std::mutex> hold(session->lock);
  if (session->heldFd >= 0) close(session->heldFd);
  session->heldFd = -1;
}

struct LdapSettings {
  std::string secureURI;
  std::string plainURI;
  std::string bindTemplate = kDefaultBindNameTemplate;
  std::string caCertFile;
};

std::mutex g_settingsLock;

LdapSettings& Settings() {
  static LdapSettings settings = [] {
    LdapSettings s;
    if (const char* v = std::getenv("TORVANE_LDAPS_URI")) s.secureURI = v;
    if (const char* v = std::getenv("TORVANE_LDAP_URI")) s.plainURI = v;
    if (const char* v = std::getenv("TORVANE_LDAP_BIND_TEMPLATE"); v && *v) s.bindTemplate = v;
    return s;
  }();
  return settings;
}

// The host of the library's default URI (ldap.conf, LDAPURI, LDAPHOST); empty
// when none is configured.
std::string LibraryDefaultHost() {
  std::string host;
  char* uris = nullptr;
  if (ldap_get_option(nullptr, LDAP_OPT_URI, &uris) == LDAP_OPT_SUCCESS && uris) {
    std::string first(uris);
    size_t cut = first.find_first_of(" ,");
    if (cut != std::string::npos) first.resize(cut);
    LDAPURLDesc* desc = nullptr;
    if (ldap_url_parse(first.c_str(), &desc) == LDAP_URL_SUCCESS && desc) {
      if (desc->lud_host) host = desc->lud_host;
      ldap_free_urldesc(desc);
    }
    ldap_memfree(uris);
  }
  return host;
}

std::string DefaultURI(bool insecure) {
  std::string host = LibraryDefaultHost();
  if (host.empty()) host = "localhost";
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return std::string(insecure ? "ldap://" : "ldaps://") + host + ":" +
         std::to_string(insecure ? kLdapPlainPort : kLdapSecurePort);
}

// UTF-16 units back to UTF-8. False for a unit 0 or a surrogate: the logon's
// conversion makes one only from an overlong or malformed sequence.
bool UTF16ToUTF8(const std::u16string& in, std::string& out) {
  out.clear();
  for (char16_t u : in) {
    if (u == 0 || (u >= 0xD800 && u <= 0xDFFF)) return false;
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (u >> 6)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (u >> 12)));
      out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
  return true;
}

}  // namespace

void SetLdapURIs(const std::string& secureURI, const std::string& plainURI) {
  std::lock_guard<std::mutex> hold(g_settingsLock);
  Settings().secureURI = secureURI;
  Settings().plainURI = plainURI;
}

std::string GetLdapURI(bool insecure) {
  std::string uri;
  {
    std::lock_guard<std::mutex> hold(g_settingsLock);
    uri = insecure ? Settings().plainURI : Settings().secureURI;
  }
  return uri.empty() ? DefaultURI(insecure) : uri;
}

void SetLdapBindNameTemplate(const std::string& bindTemplate) {
  std::lock_guard<std::mutex> hold(g_settingsLock);
  Settings().bindTemplate = bindTemplate.empty() ? std::string(kDefaultBindNameTemplate) : bindTemplate;
}

std::string GetLdapBindNameTemplate() {
  std::lock_guard<std::mutex> hold(g_settingsLock);
  return Settings().bindTemplate;
}

void SetLdapCACertFile(const std::string& path) {
  std::lock_guard<std::mutex> hold(g_settingsLock);
  Settings().caCertFile = path;
}

std::string EscapeDNValue(const std::string& value) {
  std::string out;
  out.reserve(value.size() + 8);
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c == '\0') {
      out += "\\00";
      continue;
    }
    bool special = c == '"' || c == '+' || c == ',' || c == ';' || c == '<' || c == '>' || c == '\\' ||
                   c == '=';
    bool edge = (i == 0 && (c == ' ' || c == '#')) || (i + 1 == value.size() && c == ' ');
    if (special || edge) out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::string BuildBindName(const std::string& bindTemplate, const std::string& account,
                          const std::string& domain) {
  if (bindTemplate == kDefaultBindNameTemplate && domain.empty()) return account;
  bool distinguished = bindTemplate.find('=') != std::string::npos;
  std::string out;
  for (size_t i = 0; i < bindTemplate.size(); ++i) {
    char c = bindTemplate[i];
    if (c == '%' && i + 1 < bindTemplate.size()) {
      char k = bindTemplate[i + 1];
      if (k == 'A' || k == 'D') {
        const std::string& value = k == 'A' ? account : domain;
        out += distinguished ? EscapeDNValue(value) : value;
        ++i;
        continue;
      }
      if (k == '%') {
        out.push_back('%');
        ++i;
        continue;
      }
    }
    out.push_back(c);
  }
  return out;
}

void LdapSessionCloser::operator()(LdapSession* session) const {
  if (!session) return;
  if (session->ld) ldap_unbind_ext_s(session->ld, nullptr, nullptr);
  delete session;
}

LdapSessionHandle LdapOpenSession(bool insecure, int* code) {
  std::string uri = GetLdapURI(insecure);
  std::string caFile;
  {
    std::lock_guard<std::mutex> hold(g_settingsLock);
    caFile = Settings().caCertFile;
  }
  LDAP* ld = nullptr;
  int rc = ldap_initialize(&ld, uri.c_str());
  if (rc != LDAP_SUCCESS || !ld) {
    if (code) *code = rc != LDAP_SUCCESS ? rc : LDAP_NO_MEMORY;
    return nullptr;
  }
  LdapSessionHandle session(new LdapSession(ld));
  int version = LDAP_VERSION3;
  struct timeval timeout = {kLdapTimeoutSeconds, 0};
  rc = ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &timeout);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_TIMEOUT, &timeout);
  if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_CONNECT_CB, &session->callbacks);
  if (rc == LDAP_OPT_SUCCESS && !insecure) {
    int demand = LDAP_OPT_X_TLS_HARD;
    rc = ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
    if (rc == LDAP_OPT_SUCCESS && !caFile.empty())
      rc = ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, caFile.c_str());
    int isServer = 0;
    if (rc == LDAP_OPT_SUCCESS) rc = ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &isServer);
  }
  if (rc != LDAP_OPT_SUCCESS) {
    if (code) *code = rc;
    return nullptr;
  }
  if (code) *code = 0;
  return session;
}

void LdapAbortSession(LdapSession* session) {
  if (!session) return;
  std::lock_guard<std::mutex> hold(session->lock);
  session->aborted = true;
  if (session->heldFd >= 0) shutdown(session->heldFd, SHUT_RDWR);
}

int LdapConnectSession(LdapSession* session) {
  if (!session || !session->ld) return LDAP_PARAM_ERROR;
  return ldap_connect(session->ld);
}

int LdapBindIdentity(LdapSession* session, const SecWinntAuthIdentity& identity, int* sent) {
  if (sent) *sent = LDAP_BIND_NOT_SENT;
  if (!session || !session->ld) return LDAP_PARAM_ERROR;
  std::string account, domain, password;
  if (!UTF16ToUTF8(identity.User, account) || !UTF16ToUTF8(identity.Domain, domain) ||
      !UTF16ToUTF8(identity.Password, password))
    return LDAP_PARAM_ERROR;
  std::string bindName = BuildBindName(GetLdapBindNameTemplate(), account, domain);
  if (bindName.empty() || password.empty()) return LDAP_INAPPROPRIATE_AUTH;
  struct berval credentials;
  credentials.bv_len = password.size();
  credentials.bv_val = password.data();
  if (sent) *sent = LDAP_BIND_SENT;
  int rc = ldap_sasl_bind_s(session->ld, bindName.c_str(), LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr,
                            nullptr);
  explicit_bzero(password.data(), password.size());
  return rc;
}
