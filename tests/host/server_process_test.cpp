// The real server program on loopback: initialising a new nested home, its
// files and their private modes, the start on that home with its warning of
// published passwords, the stop, the address of an IPv4 client, the lock of
// the home, refused starts and initialisations with their reasons, and the
// 501st connection.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "directory/first_start.h"
#include "foundation/crypto/password_hash.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace {

// Waits (up to 20 s) until the server's log holds `text`.
bool WaitForLog(const ServerProcess& server, const std::string& text) {
  for (int i = 0; i < 2000; ++i) {
    if (server.Log().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Waits (up to 20 s) until the server's log holds `text` `times` times.
bool WaitForLogCount(const ServerProcess& server, const std::string& text, size_t times) {
  for (int i = 0; i < 2000; ++i) {
    const std::string log = server.Log();
    size_t seen = 0;
    for (size_t at = log.find(text); at != std::string::npos && seen < times; at = log.find(text, at + 1)) ++seen;
    if (seen >= times) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Hand-written from the file formats: groups.xml, env.xml and the Live/Torvane
// settings file of a new home.
const char kNewGroupsXML[] =
    "<?xml version=\"1.0\"?>\n<GROUPS>\n"
    "<GROUP>\n<NAME>Administrators</NAME>\n<UID>EE6B2801</UID>\n</GROUP>\n"
    "<GROUP>\n<NAME>Everyone</NAME>\n<UID>EE6B2800</UID>\n</GROUP>\n"
    "<PERM>\n<UID>EE6B2803</UID>\n<READ>EE6B2800;EE6B2801</READ>\n<WRITE>EE6B2801</WRITE>\n</PERM>\n"
    "</GROUPS>";
const char kNewEnvXML[] =
    "<?xml version=\"1.0\"?>\n<ENVIRONMENTS>\n<Live>\n<APPLICATIONS>\n<Torvane/>\n</APPLICATIONS>\n</Live>\n"
    "</ENVIRONMENTS>";
const char kNewLiveTorvaneXML[] =
    "<?xml version=\"1.0\"?>\n<Torvane>\n<PERMISSIONS>\n</PERMISSIONS>\n<CONFIGURATION>\n"
    "<Authentication uid=\"00000001\" type=\"STRING\">"
    "<AllowGuestLogin uid=\"00000002\" type=\"STRING\">0\n</AllowGuestLogin>\n"
    "<AllowADTokenLogin uid=\"00000003\" type=\"STRING\">1\n</AllowADTokenLogin>\n"
    "<AllowADUserLogin uid=\"00000004\" type=\"STRING\">1\n</AllowADUserLogin>\n"
    "<AllowADUPLogin uid=\"00000005\" type=\"STRING\">1\n</AllowADUPLogin>\n"
    "<AllowInternalLogin uid=\"00000006\" type=\"STRING\">1\n</AllowInternalLogin>\n"
    "</Authentication>\n</CONFIGURATION>\n</Torvane>";

// The PASSWORDV2 text of the USER whose USERNAME is `name`.
std::string PasswordOf(const std::string& usersXML, const std::string& name) {
  size_t user = usersXML.find("<USERNAME>" + name + "</USERNAME>");
  if (user == std::string::npos) return "";
  size_t from = usersXML.find("<PASSWORDV2>", user);
  size_t to = usersXML.find("</PASSWORDV2>", from);
  if (from == std::string::npos || to == std::string::npos) return "";
  from += 12;
  return usersXML.substr(from, to - from);
}

TEST(ServerProcess, InitialiseMakesANestedHomeAndTheNextStartLoadsIt) {
  ServerProcess server;
  std::string out;
  ASSERT_EQ(0, server.Initialise(&out)) << server.LastRun();
  EXPECT_EQ("Initialise returned 0\n", out);
  const std::string& h = server.Home();
  EXPECT_TRUE(IsDirectory(h + "envs"));
  EXPECT_TRUE(IsDirectory(h + "schemas"));
  EXPECT_EQ(kNewGroupsXML, ReadWholeFile(h + "groups.xml"));
  EXPECT_EQ(kNewEnvXML, ReadWholeFile(h + "env.xml"));
  EXPECT_EQ(kNewLiveTorvaneXML, ReadWholeFile(h + "envs/live_torvane.xml"));
  std::string users = ReadWholeFile(h + "users.xml");
  const struct {
    const char* name;
    const char* password;
  } accounts[] = {{"administrator", "quernstoneway"}, {"ZentakUser", "Grebe7ly"}};
  for (const auto& a : accounts) {
    std::string hash = PasswordOf(users, a.name);
    EXPECT_EQ(60u, hash.size()) << a.name;
    EXPECT_EQ(0u, hash.rfind("$2a$12$", 0)) << a.name;
    EXPECT_TRUE(IsBcryptHash(hash.c_str())) << a.name;
    EXPECT_EQ(0, CheckPasswordHash(a.password, hash.c_str())) << a.name;
  }
  EXPECT_EQ("00000000", PasswordOf(users, "guest"));
  EXPECT_EQ("00000000", PasswordOf(users, "default_user"));

  ASSERT_TRUE(server.Start()) << server.Log();
  // The start reads users.xml and writes the version-2 store for all four.
  for (const char* uid : {"EE6B2802", "EE6B2806", "EE6B2807", "EE6B2808"}) {
    EXPECT_EQ(PATH_EXISTS, ProbePath(h + "users/" + uid + ".xml")) << uid;
  }
  EXPECT_EQ(PATH_EXISTS, ProbePath(h + "userlist.xml"));
  std::string log = server.Log();
  EXPECT_NE(std::string::npos, log.find("Upgrading to version 2 users format"));
  EXPECT_EQ(std::string::npos, log.find("Error during")) << log;
  for (const char* name : {"administrator", "ZentakUser"}) {
    EXPECT_NE(std::string::npos,
              log.find(std::string("Warning: the administrator ") + name + " still has its published password"))
        << log;
  }

  // The administrator logs on with the published password and is answered.
  TestClient admin = TestClient::ConnectLoopback(server.Port());
  TestClient::LogonReply reply = admin.Logon("administrator", "quernstoneway", 77);
  ASSERT_TRUE(reply.received);
  EXPECT_EQ(0, reply.code);
  EXPECT_EQ(1, reply.sidVersion);
  EXPECT_EQ(4, reply.sidLength);
  ASSERT_EQ(std::optional<int32_t>(0), admin.Request(6627));
  std::optional<std::string> info;
  ASSERT_TRUE(admin.RecvString(&info));
  ASSERT_TRUE(info.has_value());
  // The port is the one configured: the port word 0 let the system choose.
  EXPECT_EQ("TorvaneServer\r\nVersion=5.0 000.001\r\nPort=0\r\nHome Directory=" + h + "\r\n", *info);
  EXPECT_EQ(0, server.Stop()) << server.Log();
}

// -i takes the built-in administrators' first passwords from its
// environment: hashed as every new password (cost 12, a salt of their own)
// into the same users.xml, they log on over TCP where the published ones
// are refused, and no start warns of a published password. The longest
// password that can be hashed is accepted (and logs on); an account whose
// variable is not set keeps its published password, and is warned of.
TEST(ServerProcess, InitialiseTakesTheFirstPasswordsFromItsEnvironment) {
  const std::string longest(kMaxHashedPasswordBytes, 'k');
  struct Case {
    const char* id;
    std::optional<std::string> administrator;
    std::optional<std::string> zentakUser;
  };
  const Case cases[] = {
      {"both given", "Corvid-Lantern-81", "Sable+Tide 19"},
      {"the longest that is hashed, one left unset", longest, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    ServerProcess server;
    server.SetEnvironment("TORVANE_ADMINISTRATOR_PASSWORD", c.administrator);
    server.SetEnvironment("TORVANE_ZENTAKUSER_PASSWORD", c.zentakUser);
    std::string out;
    ASSERT_EQ(0, server.Initialise(&out)) << server.LastRun();
    EXPECT_EQ("Initialise returned 0\n", out);
    const std::string users = ReadWholeFile(server.Home() + "users.xml");
    const std::string adminHash = PasswordOf(users, "administrator");
    const std::string zentakHash = PasswordOf(users, "ZentakUser");
    // The file a new home always has, but for the two hashes.
    EXPECT_EQ(DefaultUsersXMLText(adminHash, zentakHash), users);
    const struct {
      const char* name;
      const std::string& hash;
      std::optional<std::string> given;
      const char* published;
      const char* variable;
    } accounts[] = {{"administrator", adminHash, c.administrator, "quernstoneway", "TORVANE_ADMINISTRATOR_PASSWORD"},
                    {"ZentakUser", zentakHash, c.zentakUser, "Grebe7ly", "TORVANE_ZENTAKUSER_PASSWORD"}};
    for (const auto& a : accounts) {
      EXPECT_EQ(0u, a.hash.rfind("$2a$12$", 0)) << a.name;
      const std::string expected = a.given ? *a.given : a.published;
      EXPECT_EQ(0, CheckPasswordHash(expected.c_str(), a.hash.c_str())) << a.name;
      const std::string line = a.given ? std::string("The administrator ") + a.name +
                                             " takes its first password from " + a.variable
                                       : std::string("Warning: the administrator ") + a.name +
                                             " keeps its published password: set " + a.variable + " at -i";
      EXPECT_NE(std::string::npos, server.Log().find(line)) << server.LastRun();
      if (a.given) {
        EXPECT_EQ(std::string::npos, server.Log().find(*a.given)) << "a password in the log";
      }
    }

    ASSERT_TRUE(server.Start()) << server.Log();
    for (const auto& a : accounts) {
      const bool warned = server.Log().find(std::string("Warning: the administrator ") + a.name +
                                            " still has its published password") != std::string::npos;
      EXPECT_EQ(!a.given, warned) << a.name << "\n" << server.Log();
      const std::string password = a.given ? *a.given : a.published;
      TestClient client = TestClient::ConnectLoopback(server.Port());
      TestClient::LogonReply reply = client.Logon(a.name, password, 77);
      ASSERT_TRUE(reply.received) << a.name;
      EXPECT_EQ(0, reply.code) << a.name;
      if (a.given) {
        TestClient other = TestClient::ConnectLoopback(server.Port());
        reply = other.Logon(a.name, a.published, 78);
        ASSERT_TRUE(reply.received) << a.name;
        EXPECT_EQ(32, reply.code) << a.name << ": the published password";
      }
    }
    EXPECT_EQ(0, server.Stop()) << server.Log();
  }
}

// A first password that breaks a rule refuses -i with the variable and the
// rule in words (never the password), before anything is written: the home
// is not even made. An empty one is refused, and so is one too long to be
// hashed.
TEST(ServerProcess, InitialiseRefusesAFirstPasswordThatBreaksARuleAndWritesNothing) {
  const struct {
    const char* variable;
    std::string value;
    std::string message;
  } cases[] = {
      {"TORVANE_ADMINISTRATOR_PASSWORD", "",
       "TORVANE_ADMINISTRATOR_PASSWORD (the first password of administrator) is empty: not initialising (nothing "
       "written)"},
      {"TORVANE_ZENTAKUSER_PASSWORD", std::string(kMaxHashedPasswordBytes + 1, 'z'),
       "TORVANE_ZENTAKUSER_PASSWORD (the first password of ZentakUser) is longer than the 511 bytes a password "
       "hash takes: not initialising (nothing written)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.variable);
    TempDir top;
    ServerProcess server(top.File("new/home/"));
    server.SetEnvironment(c.variable, c.value);
    std::string out;
    EXPECT_EQ(1, server.Initialise(&out)) << server.LastRun();
    EXPECT_EQ("", out);
    EXPECT_NE(std::string::npos, server.Log().find(c.message)) << server.LastRun();
    if (!c.value.empty()) {
      EXPECT_EQ(std::string::npos, server.Log().find(c.value)) << "the password in the log";
    }
    EXPECT_EQ(PATH_MISSING, ProbePath(top.File("new"))) << "nothing written";
  }
}

TEST(ServerProcess, AStopWhileIdleEndsTheRunAndAnIPv4ClientShowsAsMapped) {
  ServerProcess server;
  ASSERT_EQ(0, server.Initialise()) << server.LastRun();
  ASSERT_TRUE(server.Start()) << server.Log();
  int fd = server.Connect(false);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(WaitForLog(server, "IPv6 connection received on ::ffff:127.0.0.1")) << server.Log();
  int fd6 = server.Connect(true);
  if (fd6 >= 0) {
    EXPECT_TRUE(WaitForLog(server, "IPv6 connection received on ::1")) << server.Log();
    close(fd6);
  }
  EXPECT_NE(std::string::npos, server.Log().find("Socket in dual IPv6/IPv4 mode"));
  EXPECT_EQ(0, server.Stop()) << server.Log();
  EXPECT_NE(std::string::npos, server.Log().find("Closing socket."));
  close(fd);
}

TEST(ServerProcess, ASecondServerOnTheSameHomeOrPortIsRefused) {
  ServerProcess server;
  ASSERT_EQ(0, server.Initialise()) << server.LastRun();
  ASSERT_TRUE(server.Start()) << server.Log();
  ServerProcess second(server.Home());
  EXPECT_EQ(1, second.RunToEnd({"0", server.Home()})) << second.LastRun();
  EXPECT_NE(std::string::npos, second.Log().find("Another server is running on home directory")) << second.Log();
  // Another home on the same port: the listener cannot bind, the run fails.
  ServerProcess other;
  ASSERT_EQ(0, other.Initialise()) << other.LastRun();
  EXPECT_EQ(1, other.RunToEnd({std::to_string(server.Port()), other.Home()})) << other.LastRun();
  EXPECT_NE(std::string::npos, other.Log().find("Cannot bind to port " + std::to_string(server.Port()))) << other.Log();
  EXPECT_EQ(0, server.Stop()) << server.Log();
}

TEST(ServerProcess, StartsThatCannotGoOnExitNonZero) {
  TempDir blocker;
  WriteWholeFile(blocker.File("file"), "x");
  // A lock file that cannot be opened for writing (even by root): a folder.
  ASSERT_TRUE(MakeSureDirectoryPathExists(blocker.File("locked/torvane.lock/")));
  const struct {
    std::vector<std::string> args;  // {home} is replaced by the test home
    const char* line;
    const char* out;
  } cases[] = {
      {{"70000", "{home}"}, "Listener port 70000 is outside 0 to 65535", ""},
      {{"-i", "0", blocker.File("file") + "/home/"},
       "Cannot create home directory {file}/home/: Not a directory: not initialising", ""},
      {{"0", std::string(1000, 'h')}, "is too long", ""},
      {{"0", blocker.File("missing/")},
       "Cannot use home directory {missing}: No such file or directory: not starting (-i makes a new one)", ""},
      {{"0", blocker.File("file") + "/"}, "Cannot use home directory {file}/: Not a directory: not starting", ""},
      {{"0", blocker.File("locked/")},
       "Cannot lock home directory {locked} ({locked}torvane.lock): Is a directory: not starting", ""},
  };
  for (const auto& c : cases) {
    ServerProcess p;
    std::vector<std::string> args = c.args;
    for (auto& a : args) {
      if (a == "{home}") a = p.Home();
    }
    std::string out;
    EXPECT_NE(0, p.RunToEnd(args, &out)) << args[0] << "\n" << p.LastRun();
    EXPECT_EQ(c.out, out) << args[0];
    std::string line = c.line;
    for (const char* name : {"file", "missing", "locked"}) {
      const std::string mark = std::string("{") + name + "}";
      const std::string path = blocker.File(name) + (std::string(name) == "file" ? "" : "/");
      for (size_t at; (at = line.find(mark)) != std::string::npos;) line.replace(at, mark.size(), path);
    }
    EXPECT_NE(std::string::npos, p.Log().find(line)) << p.Log();
    EXPECT_EQ(std::string::npos, p.Log().find("Torvane home directory is")) << "refused before the log file";
  }
}

// The names and modes of everything under `dir`, folders with a final '/'.
std::vector<std::pair<std::string, unsigned>> TreeModes(const std::string& dir) {
  std::vector<std::pair<std::string, unsigned>> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    struct stat st;
    if (lstat(e.path().c_str(), &st) != 0) continue;
    std::string name = e.path().string().substr(dir.size());
    if (S_ISDIR(st.st_mode)) name += "/";
    out.emplace_back(name, static_cast<unsigned>(st.st_mode & 07777));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// -i makes a home that does not exist yet, with every folder of it private,
// as the start then makes every file it adds (the version-2 users files, the
// ring log, the lock and the UID counter): folders 0700, files 0600, with
// the usual umask of 022.
TEST(ServerProcess, InitialiseAndStartMakeOnlyPrivateFiles) {
  const mode_t before = umask(022);
  TempDir top;
  const std::string home = top.File("new/home/");
  ServerProcess server(home);
  std::string out;
  ASSERT_EQ(0, server.Initialise(&out)) << server.LastRun();
  EXPECT_EQ("Initialise returned 0\n", out);
  ASSERT_TRUE(server.Start()) << server.Log();
  EXPECT_EQ(0, server.Stop()) << server.Log();
  umask(before);
  struct stat st;
  ASSERT_EQ(0, stat(top.File("new").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);
  const auto tree = TreeModes(home);
  for (const char* expected : {"users/", "users/EE6B2802.xml", "userlist.xml", "torvane.0.lg", "torvane.lock",
                               "uid.val", "envs/live_torvane.xml", "schemas/", "groups.xml", "env.xml", "users.xml"}) {
    EXPECT_TRUE(std::any_of(tree.begin(), tree.end(), [&](const auto& e) { return e.first == expected; })) << expected;
  }
  for (const auto& [name, mode] : tree) EXPECT_EQ(name.back() == '/' ? 0700u : 0600u, mode) << name;
}

// -i over a home that holds any file it writes names them, writes nothing
// and fails; the live home it was run over is as it was.
TEST(ServerProcess, InitialiseRefusesAHomeThatHoldsItsFiles) {
  ServerProcess server;
  ASSERT_EQ(0, server.Initialise()) << server.LastRun();
  ASSERT_TRUE(server.Start()) << server.Log();
  EXPECT_EQ(0, server.Stop()) << server.Log();
  const auto tree = TreeModes(server.Home());
  std::vector<std::string> bytes;
  for (const auto& e : tree) bytes.push_back(e.first.back() == '/' ? "" : ReadWholeFile(server.Home() + e.first));

  std::string out;
  EXPECT_EQ(1, server.Initialise(&out)) << server.LastRun();
  EXPECT_EQ("", out);
  EXPECT_NE(std::string::npos,
            server.Log().find("Home directory " + server.Home() +
                              " already holds users.xml, groups.xml, env.xml, envs/live_torvane.xml, uid.val: not "
                              "initialising over it (nothing written)"))
      << server.Log();
  EXPECT_EQ(tree, TreeModes(server.Home()));
  for (size_t i = 0; i < tree.size(); ++i) {
    if (tree[i].first.back() != '/') {
      EXPECT_EQ(bytes[i], ReadWholeFile(server.Home() + tree[i].first)) << tree[i].first;
    }
  }

  // One such file is enough.
  ServerProcess other;
  WriteWholeFile(other.Home() + "groups.xml", "<GROUPS/>");
  EXPECT_EQ(1, other.Initialise()) << other.LastRun();
  EXPECT_NE(std::string::npos, other.Log().find("already holds groups.xml: not initialising")) << other.Log();
  EXPECT_EQ(PATH_MISSING, ProbePath(other.Home() + "users.xml"));
}

// Comms\TimeOut of 1 second is taken as 10: a client that stops mid-header
// and one that sends a byte now and then are both dropped, while another
// client is answered throughout.
TEST(ServerProcess, StalledAndDribblingClientsAreDroppedAfterTheTimeOut) {
  ServerProcess server;
  ASSERT_EQ(0, server.Initialise()) << server.LastRun();
  const std::string settings = server.Home() + "envs/live_torvane.xml";
  std::string text = ReadWholeFile(settings);
  size_t at = text.find("</CONFIGURATION>");
  ASSERT_NE(std::string::npos, at);
  text.insert(at, "<Comms uid=\"00000007\" type=\"STRING\"><TimeOut uid=\"00000008\" type=\"STRING\">1\n"
                  "</TimeOut>\n</Comms>\n");
  WriteWholeFile(settings, text);
  ASSERT_TRUE(server.Start()) << server.Log();

  TestClient stalled = TestClient::ConnectLoopback(server.Port());
  TestClient dribbler = TestClient::ConnectLoopback(server.Port());
  TestClient good = TestClient::ConnectLoopback(server.Port());
  ASSERT_TRUE(stalled.Send(TestBytes{0xA4, 0x19, 0x00}));
  const TestBytes header = TestRequest().Header(6628).Bytes();
  // The stalled requests wait on their own: the good client is answered at once.
  good.SetTimeoutMs(2000);
  bool stalledClosed = false, dribblerClosed = false;
  size_t dripped = 0;
  for (int second = 0; second < 40 && !(stalledClosed && dribblerClosed); ++second) {
    if (!dribblerClosed) dribbler.Send(TestBytes{header[dripped++ % header.size()]});
    ASSERT_EQ(std::optional<int32_t>(0), good.Request(6628)) << second;
    ASSERT_EQ(std::optional<int32_t>(10), good.RecvInt()) << second;
    stalled.SetTimeoutMs(500);
    dribbler.SetTimeoutMs(500);
    if (!stalledClosed) stalledClosed = stalled.PeerClosed();
    if (!dribblerClosed) dribblerClosed = dribbler.PeerClosed();
  }
  EXPECT_TRUE(stalledClosed);
  EXPECT_TRUE(dribblerClosed);
  EXPECT_NE(std::string::npos, server.Log().find("Comm failure on socket")) << server.Log();
  EXPECT_EQ(0, server.Stop()) << server.Log();
}

TEST(ServerProcess, The501stConnectionIsAcceptedAndTheOldestKicked) {
  ServerProcess server;
  ASSERT_EQ(0, server.Initialise()) << server.LastRun();
  ASSERT_TRUE(server.Start()) << server.Log();
  std::vector<int> fds;
  for (int i = 0; i < 500; ++i) {
    int fd = server.Connect();
    ASSERT_GE(fd, 0) << i;
    fds.push_back(fd);
  }
  // A connection is last used at its accept: once a second has passed, the
  // first one accepted is the oldest.
  ASSERT_TRUE(WaitForLogCount(server, " connection received on ", 500)) << server.Log().substr(0, 2000);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  const int newest = server.Connect();
  ASSERT_GE(newest, 0);
  fds.push_back(newest);
  ASSERT_TRUE(WaitForLog(server, "At MAX_CONNECTIONS: Will try to kick oldest")) << server.Log().substr(0, 2000);
  EXPECT_TRUE(WaitForLog(server, "MAX_CONNECTIONS:Kicking connection last used")) << server.Log().substr(0, 2000);
  // Exactly one client sees its connection closed: the first.
  std::vector<pollfd> p;
  for (int fd : fds) p.push_back({fd, POLLIN, 0});
  int closed = 0;
  for (int round = 0; round < 50 && closed == 0; ++round) {
    ASSERT_GE(poll(p.data(), p.size(), 100), 0);
    closed = 0;
    for (auto& e : p) closed += (e.revents & (POLLIN | POLLHUP)) ? 1 : 0;
  }
  EXPECT_EQ(1, closed);
  EXPECT_NE(0, p[0].revents & (POLLIN | POLLHUP)) << "the first connection accepted is the one kicked";
  // The server goes on accepting.
  int extra = server.Connect();
  EXPECT_GE(extra, 0);
  EXPECT_EQ(0, server.Stop()) << server.Log();
  for (int fd : fds) close(fd);
  if (extra >= 0) close(extra);
}

}  // namespace
