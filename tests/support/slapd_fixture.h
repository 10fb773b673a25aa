// A real slapd for the directory-bind tests: its own configuration directory
// with an mdb database loaded by slapadd, a self-signed CA and a server
// certificate for 127.0.0.1 made with openssl, ldap:// and ldaps:// listeners
// on free loopback ports outside the ephemeral range. Started by the test and
// stopped by its pid; the system's own slapd service, if any, is never
// touched. A failed Start says why in `error`, with the end of slapd's log.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/loopback_port.h"
#include "support/temp_dir.h"

// One entry of the directory: the account's uid under ou=<domain>.
struct SlapdAccount {
  std::string domain;
  std::string account;
  std::string password;
};

struct SlapdFixture {
  TempDir dir;
  pid_t pid = -1;
  int plainPort = 0;
  int securePort = 0;
  std::string error;  // why Start failed

  static constexpr const char* kSuffix = "dc=example,dc=test";
  static constexpr int kLaunchAttempts = 5;  // pairs of ports Launch tries
  // The bind-name template that matches the entries below.
  static constexpr const char* kBindTemplate = "uid=%A,ou=%D,dc=example,dc=test";

  std::string CAFile() const { return dir.File("ca.pem"); }
  std::string OtherCAFile() const { return dir.File("other-ca.pem"); }
  std::string LogFile() const { return dir.File("slapd.log"); }
  std::string PlainURI() const { return "ldap://127.0.0.1:" + std::to_string(plainPort); }
  std::string SecureURI() const { return "ldaps://127.0.0.1:" + std::to_string(securePort); }

  // slapd is told its ports in its URLs: they are picked outside the
  // kernel's ephemeral range (PickLoopbackPort), and Launch tries others when
  // slapd cannot bind them.
  static int FreeLoopbackPort() { return PickLoopbackPort(); }

  static bool Accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
  }

  // The last `bytes` bytes of a file, for a failure's message.
  static std::string Tail(const std::string& path, size_t bytes = 3000) {
    const std::string text = ReadWholeFile(path);
    return text.size() > bytes ? text.substr(text.size() - bytes) : text;
  }

  bool Run(const std::string& command) {
    if (std::system(command.c_str()) == 0) return true;
    error = "failed: " + command + "\n--- what it wrote ---\n" + Tail(dir.File("setup.log"));
    return false;
  }

  static std::string Base64(const std::string& bytes) {
    static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
      unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 | (unsigned char)bytes[i + 2];
      out += {k[v >> 18], k[(v >> 12) & 63], k[(v >> 6) & 63], k[v & 63]};
    }
    if (i + 1 == bytes.size()) {
      unsigned v = (unsigned char)bytes[i] << 16;
      out += {k[v >> 18], k[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
      unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8;
      out += {k[v >> 18], k[(v >> 12) & 63], k[(v >> 6) & 63], '='};
    }
    return out;
  }

  // Makes the certificates, the configuration and the database, then starts
  // slapd and waits until both ports accept. False (with `error`) on failure.
  bool Start(const std::vector<SlapdAccount>& accounts) {
    const std::string d = dir.path;
    const std::string q = " >>" + d + "setup.log 2>&1";
    if (!Run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + d + "ca.key -out " + d +
             "ca.pem -days 2 -subj /CN=Torvane-Test-CA" + q) ||
        !Run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + d + "other-ca.key -out " + d +
             "other-ca.pem -days 2 -subj /CN=Other-Test-CA" + q) ||
        !Run("openssl req -newkey rsa:2048 -nodes -keyout " + d + "server.key -out " + d +
             "server.csr -subj /CN=127.0.0.1" + q))
      return false;
    WriteWholeFile(d + "ext.cnf", "subjectAltName=IP:127.0.0.1\n");
    if (!Run("openssl x509 -req -in " + d + "server.csr -CA " + d + "ca.pem -CAkey " + d +
             "ca.key -CAcreateserial -out " + d + "server.pem -days 2 -extfile " + d + "ext.cnf" + q))
      return false;
    std::filesystem::create_directory(d + "db");
    WriteWholeFile(d + "slapd.conf",
                   "include /etc/ldap/schema/core.schema\n"
                   "include /etc/ldap/schema/cosine.schema\n"
                   "include /etc/ldap/schema/inetorgperson.schema\n"
                   "modulepath /usr/lib/ldap\n"
                   "moduleload back_mdb\n"
                   "pidfile " + d + "slapd.pid\n"
                   "argsfile " + d + "slapd.args\n"
                   "TLSCACertificateFile " + d + "ca.pem\n"
                   "TLSCertificateFile " + d + "server.pem\n"
                   "TLSCertificateKeyFile " + d + "server.key\n"
                   "database mdb\n"
                   "suffix \"" + std::string(kSuffix) + "\"\n"
                   "rootdn \"cn=admin," + std::string(kSuffix) + "\"\n"
                   "directory " + d + "db\n"
                   "maxsize 10485760\n");
    std::string ldif = "dn: dc=example,dc=test\nobjectClass: dcObject\nobjectClass: organization\n"
                       "o: Example\ndc: example\n\n";
    std::vector<std::string> domains;
    for (const SlapdAccount& a : accounts) {
      bool seen = false;
      for (const std::string& x : domains) seen = seen || x == a.domain;
      if (seen) continue;
      domains.push_back(a.domain);
      ldif += "dn: ou=" + a.domain + ",dc=example,dc=test\nobjectClass: organizationalUnit\nou: " + a.domain +
              "\n\n";
    }
    for (const SlapdAccount& a : accounts)
      ldif += "dn: uid=" + a.account + ",ou=" + a.domain + ",dc=example,dc=test\nobjectClass: inetOrgPerson\n"
              "uid: " + a.account + "\ncn: " + a.account + "\nsn: " + a.account +
              "\nuserPassword:: " + Base64(a.password) + "\n\n";
    WriteWholeFile(d + "data.ldif", ldif);
    if (!Run("/usr/sbin/slapadd -f " + d + "slapd.conf -l " + d + "data.ldif" + q)) return false;
    return Launch();
  }

  // Starts slapd in the foreground (so its pid is the child's), logging the
  // operations (binds included) to LogFile().
  bool Launch() {
    for (int attempt = 0; attempt < kLaunchAttempts; ++attempt) {
      plainPort = FreeLoopbackPort();
      securePort = FreeLoopbackPort();
      if (plainPort == 0 || securePort == 0 || plainPort == securePort) continue;
      std::string urls = PlainURI() + "/ " + SecureURI() + "/";
      std::string conf = dir.File("slapd.conf");
      std::string log = LogFile();
      pid = fork();
      if (pid < 0) {
        error = "fork failed";
        return false;
      }
      if (pid == 0) {
        FILE* out = freopen(log.c_str(), "a", stderr);
        (void)out;
        execl("/usr/sbin/slapd", "slapd", "-f", conf.c_str(), "-h", urls.c_str(), "-d", "stats",
              static_cast<char*>(nullptr));
        _exit(127);
      }
      for (int wait = 0; wait < 500; ++wait) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
          pid = -1;
          break;
        }
        if (Accepts(plainPort) && Accepts(securePort)) return true;
        usleep(10000);
      }
      Stop();
    }
    error = "slapd did not start (" + std::to_string(kLaunchAttempts) + " pairs of ports tried)\n--- its log ---\n" +
            Tail(LogFile());
    return false;
  }

  void Stop() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
  }

  std::string Log() const { return ReadWholeFile(LogFile()); }

  ~SlapdFixture() { Stop(); }
};
