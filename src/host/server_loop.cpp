// The server loop: listener, poll passes, accept with room at MAX_CONNECTIONS,
// request reading and dispatch per readable connection (each request on a
// task of its own), the resumption of suspended requests, failed
// connections, the sanity tick and the stop.
// Host layer: calls platform/net_listener.h, platform/socket_io.h (the
// transfer bound), the fiber tasks and the worker pool, the clock, the log,
// and the layers below via LoopServices.
//
// A connection between requests is polled for its next header. Once one
// arrives, its request runs as a task; when the task must wait (its socket,
// a worker's job), it steps aside with the wait it is in, and the loop polls
// that connection for what the task waits on, and for nothing else, until it
// resumes the task: when the socket is ready, the deadline passes, the job
// is done, or the connection is closed under it (cancelled). The task's end
// is the request's end; the connection is then polled for its next header
// again. Requests on one connection are thus served one at a time, in order,
// and no connection's wait holds up another's request.
#include "host/server_loop.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "foundation/log/ring_log.h"
#include "host/service/service_status.h"
#include "sessions/logon_slots.h"
#include "sessions/lus_log.h"
#include "platform/clock.h"
#include "platform/fiber_tasks.h"
#include "platform/net_listener.h"
#include "platform/socket_io.h"
#include "platform/worker_pool.h"

namespace {

LoopServices g_services;

std::atomic<int> g_stopRequested{0};  // set by ServiceStop on any thread
int g_stopEvent = -1;                 // eventfd in the poll set; written by ServiceStop
int g_listenFd = -1;
int g_listenPort = 0;
bool g_dualStack = false;
uint32_t g_timeOutMs = 0;

int32_t g_passes = 0;
bool g_verbose = false;

// accept ran out of descriptors: the listener is left out of the wait until
// the table shrinks below this count, or a wait passes with nothing ready
// (-1: not paused). The failure is logged once until an accept succeeds.
int g_listenerPausedAt = -1;
bool g_exhaustionLogged = false;

// Readiness of the last wait, by socket number (entries move when others are
// removed, so readiness is never kept by index).
std::vector<unsigned> g_readyBySocket;
// Sockets whose urgent-data line was written once already, by socket number;
// cleared when a socket number is given to a new connection.
std::vector<unsigned char> g_urgentLogged;

unsigned ReadyBits(int sock) {
  if (sock < 0 || static_cast<size_t>(sock) >= g_readyBySocket.size()) return 0;
  return g_readyBySocket[static_cast<size_t>(sock)];
}

void SetUrgentLogged(int sock, bool on) {
  if (sock < 0) return;
  if (static_cast<size_t>(sock) >= g_urgentLogged.size()) g_urgentLogged.resize(static_cast<size_t>(sock) + 1, 0);
  g_urgentLogged[static_cast<size_t>(sock)] = on ? 1 : 0;
}

bool UrgentLogged(int sock) {
  return sock >= 0 && static_cast<size_t>(sock) < g_urgentLogged.size() && g_urgentLogged[static_cast<size_t>(sock)];
}

void SlotLog(int withTime, const char* text) { WriteLUSLog(text, withTime); }

// The user name of the slot carrying `logonUID`; null when there is none.
const char* SlotUserName(uint32_t logonUID) {
  if (logonUID == 0) return nullptr;
  LUS* slot = FindLUSByLogonUID(logonUID);
  if (slot == nullptr) return nullptr;
  return slot->USERNAME ? slot->USERNAME->c_str() : "(null)";
}

void Logoff(const ConnectionRecord& c) {
  if (c.logonUID != 0 && g_services.doLogoff != nullptr) g_services.doLogoff(c.logonUID, 0, c.clientID);
}

// Writes a line formatted once into 1024 bytes to the log and, with the
// time, to the slot-operations log.
void LogBothWays(const char* line) {
  WriteLog(0, "%s", line);
  SlotLog(1, line);
}

// Entries whose socket is INVALID_SOCKET: logged, logged off, removed without
// a close; the same index is looked at again.
void RemoveDeadConnections() {
  for (int i = 0; i < GetConnectionCount();) {
    ConnectionRecord* c = GetConnectionByIndex(i);
    if (c->socket != INVALID_SOCKET) {
      ++i;
      continue;
    }
    WriteLog(0, "Socket %d is invalid - prob died", i + 1);
    Logoff(*c);
    RemoveConnection(i);
  }
}

// What the wait of a pass covers beyond the sockets.
struct PassPlan {
  bool carried = false;       // a connection holds bytes of a request already received
  int64_t deadlineMs = -1;    // the soonest deadline of a suspended request (-1: none)
};

// A connection whose last reply is not all sent yet: it is not read for a
// new request until it is.
bool HasPendingReply(const ConnectionRecord* c) { return !c->outputCarry.bytes.empty(); }

// Builds the wait's set: the stop event, the listener (unless paused), the
// workers' event, and every connection in table order: one between requests
// for its next header, one whose request is suspended for what that request
// waits on (nothing while it waits for a worker).
PassPlan BuildPollSet(PollSet& set) {
  PassPlan plan;
  ClearPollSet(set);
  RemoveDeadConnections();
  if (g_listenerPausedAt >= 0 && GetConnectionCount() < g_listenerPausedAt) {
    WriteLog(0, "Accepting connections again");
    g_listenerPausedAt = -1;
  }
  if (g_stopEvent < 0) g_stopEvent = CreateStopEvent();
  if (g_stopEvent >= 0) AddToPollSet(set, g_stopEvent);
  if (g_listenFd >= 0 && g_listenerPausedAt < 0) AddToPollSet(set, g_listenFd);
  // The workers' event only while a job is out (no descriptor more to poll otherwise).
  if (GetWorkerJobsInFlight() > 0) AddToPollSet(set, GetWorkerDoneEvent(), kWantRead);
  for (int i = 0; i < GetConnectionCount(); ++i) {
    const ConnectionRecord* c = GetConnectionByIndex(i);
    if (c->task == nullptr && HasPendingReply(c)) {
      // The rest of its reply goes out once the socket takes it.
      AddToPollSet(set, c->socket, kWantWrite);
      if (c->outputDeadlineMs >= 0 && (plan.deadlineMs < 0 || c->outputDeadlineMs < plan.deadlineMs))
        plan.deadlineMs = c->outputDeadlineMs;
      continue;
    }
    if (c->task == nullptr) {
      AddToPollSet(set, c->socket);
      if (c->inputCarry.length > 0) plan.carried = true;
      continue;
    }
    const FiberWait& wait = GetFiberTaskWait(c->task);
    if (wait.kind != FiberWaitKind::kSocket) continue;
    AddToPollSet(set, wait.fd, wait.writing ? kWantWrite : kWantRead);
    if (wait.deadlineMs >= 0 && (plan.deadlineMs < 0 || wait.deadlineMs < plan.deadlineMs))
      plan.deadlineMs = wait.deadlineMs;
  }
  return plan;
}

void MarkReady(int sock, unsigned bits) {
  if (sock < 0) return;
  if (static_cast<size_t>(sock) >= g_readyBySocket.size()) g_readyBySocket.resize(static_cast<size_t>(sock) + 1, 0);
  g_readyBySocket[static_cast<size_t>(sock)] |= bits;
}

// Connections whose next request is already received count as readable. The
// number of them.
int MarkCarriedInputReady() {
  int n = 0;
  for (int i = 0; i < GetConnectionCount(); ++i) {
    const ConnectionRecord* c = GetConnectionByIndex(i);
    if (c->task != nullptr || HasPendingReply(c) || c->inputCarry.length == 0) continue;
    MarkReady(c->socket, kReadyRead);
    ++n;
  }
  return n;
}

// Ends the buffered transfers and the bound of request `messageID` of `c`:
// the end of its reply waits with the connection for the loop to send it
// (FlushPendingReplies), and what the connection sent past the request stays
// with it. A connection removed meanwhile gets nothing kept: the held bytes
// go out now, what it sent past the request goes with it.
void FinishRequest(ConnectionRecord* c, int32_t messageID) {
  if (GetConnectionIndex(c) >= 0) {
    EndRequestTransfers(&c->inputCarry, &c->outputCarry);
    if (HasPendingReply(c)) c->outputMessageID = messageID;
  } else {
    EndRequestTransfers(nullptr);
  }
  EndTransferBound();
}

// Sends what a connection being closed still holds of its last reply, as
// much as its socket takes now.
void SendPendingReplyBeforeClose(ConnectionRecord* c) {
  if (c != nullptr && HasPendingReply(c)) (void)SendCarriedOutput(c->socket, c->outputCarry);
}

// Waits and records readiness by socket. The result of the wait.
int WaitForSocketActivity(PollSet& set, int timeoutMs) {
  int n = WaitPollSet(set, timeoutMs);
  int err = errno;
  for (auto& r : g_readyBySocket) r = 0;
  if (n > 0) {
    for (const PollEntry& e : set.entries) {
      const int fd = e.fd;
      if (fd < 0) continue;
      if (static_cast<size_t>(fd) >= g_readyBySocket.size()) g_readyBySocket.resize(static_cast<size_t>(fd) + 1, 0);
      g_readyBySocket[static_cast<size_t>(fd)] |= e.ready;
    }
  }
  errno = err;
  return n;
}

void CheckSelectResult(int result, int err) {
  if (result == -1 && err == EBADF) WriteLog(0, "Think a socket died");
}

void CheckListenerErrSet() {
  if (g_listenFd >= 0 && (ReadyBits(g_listenFd) & kReadyUrgent)) {
    WriteLog(0, "ErrSet: Listener socket appeared in errset.  Errno=%d, SockErr=%d", errno, errno);
  }
}

void AcceptConnection() {
  if (g_listenFd < 0 || !(ReadyBits(g_listenFd) & kReadyRead)) return;
  WriteLog(0, "Incoming connection...");
  AcceptedPeer peer;
  if (!AcceptConnectionSocket(g_listenFd, peer)) {
    int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) return;  // the peer went away before we took it
    if (IsDescriptorExhaustion(err)) {
      if (!g_exhaustionLogged) {
        WriteLog(1, "Failed to accept incoming connection.  Errno=%d: no free descriptor, not accepting until a connection closes or the server is idle", err);
        g_exhaustionLogged = true;
      }
      g_listenerPausedAt = GetConnectionCount();
      return;
    }
    WriteLog(0, "Failed to accept incoming connection.  Errno=%d", err);
    return;
  }
  g_exhaustionLogged = false;
  MakeRoomForConnection();
  AddConnection(peer.family, peer.host.c_str(), peer.fd);
}

void TickTokenSanityCheck() {
  ++g_passes;
  if (g_passes % kSanityCheckPasses == 0 && g_services.sanityCheckTokens != nullptr) g_services.sanityCheckTokens();
}

void CheckConnectionErrSet(int i) {
  ConnectionRecord* c = GetConnectionByIndex(i);
  if (c == nullptr || !(ReadyBits(c->socket) & kReadyUrgent)) return;
  g_verbose = true;
  // Urgent data is read inline as stream bytes; the line is written once per
  // connection so a peer that keeps sending urgent bytes cannot flood the log.
  if (UrgentLogged(c->socket)) return;
  SetUrgentLogged(c->socket, true);
  char line[1024];
  const char* user = SlotUserName(c->logonUID);
  int err = errno;
  if (user != nullptr) {
    std::snprintf(line, sizeof line, "ErrSet: Socket %d appeared in errset.  Errno=%d, SockErr=%d, CID=%d, user=%s",
                  c->socket, err, err, c->clientID, user);
  } else {
    std::snprintf(line, sizeof line, "ErrSet: Socket %d appeared in errset.  Errno=%d, SockErr=%d, CID=%d, user unknown",
                  c->socket, err, err, c->clientID);
  }
  LogBothWays(line);
}

// ---- Requests on tasks ----
//
// The requests of a pass run one after another on one task (the walk of
// the table, WalkConnections): a request that runs to its end costs no
// switch of its own. When a request must wait, the task it runs on becomes
// that request's own (its owner is the request's connection): the loop keeps
// it with the connection and carries the walk on on another task. A
// suspended request is resumed, on its task, by ResumeWokenRequests; when it
// ends, its task ends with it.

// Closes the connection of a request that failed, unless it has been removed
// meanwhile (kicked or closed while the request waited: its remover ended
// it) or the server is stopping (connections are left as they are).
void CloseFailedRequestConnection(ConnectionRecord* c, int sock, int status) {
  const int at = GetConnectionIndex(c);
  if (at < 0 || StopRequested()) return;
  CloseFailedConnection(at, sock, status);
}

// A request whose bound ran out: the stream is out of step, so the
// connection goes the way of a failed one.
void CloseTimedOutRequest(ConnectionRecord* c, int sock, int32_t messageID) {
  if (!TransferBoundExpired() || GetConnectionIndex(c) < 0 || StopRequested()) return;
  WriteLog(0, "Request %d on socket %d timed out", messageID, sock);
  CloseFailedRequestConnection(c, sock, 4);
}

// One request of connection `c`, from its header to its end, on the running
// task. `c` is pinned by the caller for the request's life, so it stays
// valid; its index is looked up afresh wherever one is needed.
void ServeRequest(ConnectionRecord* c, bool verbose) {
  const int sock = c->socket;
  int32_t messageID = 0;
  BeginTransferBound(g_timeOutMs);
  BeginRequestTransfers(sock, &c->inputCarry);
  int status = g_services.getCommand != nullptr ? g_services.getCommand(c, &messageID) : 4;
  WriteLog(0, "GetCommand:Returned status %d (sock=%d)", status, sock);
  if (verbose) SlotLog(0, GetLogLine());  // the same line, as written

  switch (status) {
    case 0: {
      const int at = GetConnectionIndex(c);
      if (at >= 0) {
        SetCurrentLogonSlot(c->logonUID);
        if (g_services.processMessage != nullptr) g_services.processMessage(messageID, sock, at);
      }
      FinishRequest(c, messageID);
      CloseTimedOutRequest(c, sock, messageID);
      break;
    }
    case 4:
    case 55:
      EndRequestTransfers(nullptr);  // the connection goes, and what it sent with it
      EndTransferBound();
      CloseFailedRequestConnection(c, sock, status);
      break;
    case 27:
    default:
      if (status != 27) WriteLog(1, "GetCommand returned status %d", status);
      FinishRequest(c, messageID);
      // A refusal or logon reply that could not go out within the time-out.
      CloseTimedOutRequest(c, sock, messageID);
      break;
  }
  EndRequestSocket();
}

// The walk of one pass (or of one entry): where it stands, and where it ends.
struct Walk {
  int next = 0;        // the index served next
  int limit = 0;       // one past the last index to serve (the table's count is read afresh)
  int lastServed = -1; // ProcessConnection's answer
};

// The walk's body: every entry from walk->next, in table order, that is
// readable and has no request in progress gets its next request served here.
// A request that waits takes this task with it: the walk has then been
// handed on (the loop goes on with another task) and is left alone.
void WalkConnections(void* arg) {
  Walk* walk = static_cast<Walk*>(arg);
  while (walk->next < std::min(walk->limit, static_cast<int>(GetConnectionCount()))) {
    const int i = walk->next;
    ConnectionRecord* c = GetConnectionByIndex(i);
    g_verbose = false;
    CheckConnectionErrSet(i);
    walk->lastServed = i;
    walk->next = i + 1;
    if (c->task != nullptr || HasPendingReply(c) || !(ReadyBits(c->socket) & kReadyRead)) continue;
    SetFiberTaskOwner(c);
    PinConnection(c);
    ServeRequest(c, g_verbose);
    if (FiberTaskHasWaited()) {
      // This task was the request's own since its first wait; the walk went
      // on without it.
      UnpinConnection(c);
      return;
    }
    // Entry i removed (by its own request or another's): the entry moved
    // into its place has not been served yet.
    if (GetConnectionByIndex(i) != c) {
      walk->next = i;
      walk->lastServed = i - 1;
    }
    SetFiberTaskOwner(nullptr);
    UnpinConnection(c);
  }
}

// Resumes the suspended request of `c` with the end of its wait. `c` is not
// touched once the request has ended (its record may be gone with it).
void ResumeRequest(ConnectionRecord* c, FiberWake wake) {
  FiberTask* task = c->task;
  c->task = nullptr;
  if (ResumeFiberTask(task, wake)) c->task = task;
}

// A list of suspended requests to resume, each connection pinned while the
// list holds it: resuming one request may end another (by closing its
// connection, whose cancelled request then unwinds) and so free the record
// that a later place of the list names. A request ended meanwhile has no task
// any more, or another one, and is passed over.
class ResumeList {
 public:
  ResumeList() = default;
  ResumeList(const ResumeList&) = delete;
  ResumeList& operator=(const ResumeList&) = delete;
  ~ResumeList() {
    for (const Entry& e : entries_) UnpinConnection(e.conn);
  }
  void Add(ConnectionRecord* c, FiberTask* task, FiberWake wake) {
    PinConnection(c);
    entries_.push_back(Entry{c, task, wake});
  }
  // Resumes each in turn whose request still waits on the same task (and,
  // with `unlessCancelled`, was not cancelled since), and after each the
  // requests that it cancelled.
  void ResumeAll(bool unlessCancelled);

 private:
  struct Entry {
    ConnectionRecord* conn;
    FiberTask* task;
    FiberWake wake;
  };
  std::vector<Entry> entries_;
};

void ResumeCancelledRequests();

void ResumeList::ResumeAll(bool unlessCancelled) {
  for (const Entry& e : entries_) {
    if (e.conn->task == e.task && !(unlessCancelled && FiberTaskCancelled(e.task))) ResumeRequest(e.conn, e.wake);
    ResumeCancelledRequests();
  }
}

// The owner of a task taken from a list of the fiber layer: the connection
// whose request it is, when that request still waits on it.
ConnectionRecord* WaitingOwner(FiberTask* task) {
  auto* c = static_cast<ConnectionRecord*>(GetFiberTaskOwner(task));
  return c != nullptr && c->task == task ? c : nullptr;
}

// Resumes the requests whose connections were closed under them, until no
// resumed request cancels another.
void ResumeCancelledRequests() {
  while (HasCancelledFiberTasks()) {
    ResumeList list;
    for (FiberTask* task : TakeCancelledFiberTasks()) {
      if (ConnectionRecord* c = WaitingOwner(task)) list.Add(c, task, FiberWake::kCancelled);
    }
    list.ResumeAll(false);
  }
}

// Runs the walk to its end: a task at a time, each going on where the one
// before it left the walk for a request that waits.
void RunWalk(Walk& walk) {
  while (walk.next < std::min(walk.limit, static_cast<int>(GetConnectionCount()))) {
    // Null when the walk ended, and when no stack could be had (the rest of
    // the walk then waits for a later pass).
    FiberTask* task = StartFiberTask(WalkConnections, &walk, nullptr);
    if (task != nullptr) static_cast<ConnectionRecord*>(GetFiberTaskOwner(task))->task = task;
    ResumeCancelledRequests();
    if (task == nullptr) break;
  }
}

// The connection's suspended request, when its wait has ended: true, with
// how it ended.
bool SuspendedRequestWakes(const ConnectionRecord* c, int64_t now, FiberWake* wake) {
  if (c->task == nullptr) return false;
  const FiberWait& wait = GetFiberTaskWait(c->task);
  if (wait.kind != FiberWaitKind::kSocket) return false;
  if (ReadyBits(wait.fd) & (wait.writing ? kReadyWrite : kReadyRead)) {
    *wake = FiberWake::kReady;
    return true;
  }
  if (wait.deadlineMs >= 0 && now >= wait.deadlineMs) {
    *wake = FiberWake::kTimedOut;
    return true;
  }
  return false;
}

// Resumes the suspended requests whose socket is ready or whose deadline has
// passed, in table order. They are found first and resumed after, since a
// resumed request may change the table.
void ResumeWokenRequests() {
  ResumeList woken;
  const int64_t now = MonotonicMilliseconds();
  for (int i = 0; i < GetConnectionCount(); ++i) {
    ConnectionRecord* c = GetConnectionByIndex(i);
    FiberWake wake = FiberWake::kReady;
    if (!SuspendedRequestWakes(c, now, &wake)) continue;
    // The readiness is the resumed request's: once it ends (without a reply
    // held, say), the walk of this pass must not take it for the next
    // header and begin a request that waits for bytes nobody sent.
    const int sock = GetFiberTaskWait(c->task).fd;
    if (sock >= 0 && static_cast<size_t>(sock) < g_readyBySocket.size()) g_readyBySocket[static_cast<size_t>(sock)] = 0;
    woken.Add(c, c->task, wake);
  }
  // One cancelled meanwhile is the cancelled list's to resume.
  woken.ResumeAll(true);
}

// Resumes the requests whose workers' jobs are done.
void ResumeFinishedWorkerRequests() {
  ResumeList finished;
  for (FiberTask* task : TakeFinishedWorkerTasks()) {
    if (ConnectionRecord* c = WaitingOwner(task)) finished.Add(c, task, FiberWake::kReady);
  }
  finished.ResumeAll(false);
}

// Sends the ends of the replies the connections hold, as much as each
// socket takes now: the replies of a pass go out together, after its
// requests are served. A reply that the socket does not take whole waits for
// it to be writable, within one time-out (then the connection goes the way of
// a failed one, as a request whose reply could not go out). With `onlyWoken`
// only the connections that poll found writable, or whose time ran out.
void FlushPendingReplies(bool onlyWoken) {
  const int64_t now = MonotonicMilliseconds();
  for (int i = 0; i < GetConnectionCount(); ++i) {
    ConnectionRecord* c = GetConnectionByIndex(i);
    if (c->task != nullptr || !HasPendingReply(c)) continue;
    const bool expired = c->outputDeadlineMs >= 0 && now >= c->outputDeadlineMs;
    if (onlyWoken && !expired && !(ReadyBits(c->socket) & kReadyWrite)) continue;
    switch (expired ? CarriedOutput::kSendLater : SendCarriedOutput(c->socket, c->outputCarry)) {
      case CarriedOutput::kSent:
      case CarriedOutput::kSendFailed:  // the peer is gone: its next read says so
        c->outputDeadlineMs = -1;
        break;
      case CarriedOutput::kSendLater:
        if (expired) {
          WriteLog(0, "Request %d on socket %d timed out", c->outputMessageID, c->socket);
          c->outputCarry.bytes.clear();
          CloseFailedConnection(i, c->socket, 4);
          --i;  // the last entry moved into i
          break;
        }
        if (c->outputDeadlineMs < 0 && g_timeOutMs != 0) c->outputDeadlineMs = now + g_timeOutMs;
        break;
    }
  }
}

void ServiceConnections() {
  FlushPendingReplies(true);
  ResumeWokenRequests();
  Walk walk;
  walk.limit = INT32_MAX;
  RunWalk(walk);
}

// The stop: every suspended request is cancelled and unwinds through its
// failure paths; requests waiting for a worker end once their job is done.
void UnwindRequests() {
  for (int i = 0; i < GetConnectionCount(); ++i) {
    ConnectionRecord* c = GetConnectionByIndex(i);
    if (c->task != nullptr) CancelFiberTask(c->task);
  }
  ResumeCancelledRequests();
  while (GetLiveFiberTaskCount() > 0 && GetWorkerJobsInFlight() > 0) {
    PollSet set;
    AddToPollSet(set, GetWorkerDoneEvent(), kWantRead);
    (void)WaitPollSet(set, 1000);
    ResumeFinishedWorkerRequests();
  }
  StopWorkers();
}

void LogConnectionKick(int index) {
  ConnectionRecord* c = GetConnectionByIndex(index);
  const char* user = SlotUserName(c->logonUID);
  int idle = static_cast<int>(NowTime32() - c->lastUsed);
  char line[1024];
  if (user != nullptr) {
    std::snprintf(line, sizeof line,
                  "MAX_CONNECTIONS:Kicking connection last used %d seconds ago, for client %d, user %s", idle,
                  c->clientID, user);
  } else {
    std::snprintf(line, sizeof line,
                  "MAX_CONNECTIONS:Kicking connection last used %d seconds ago, for client %d that has no logonUID or matched user",
                  idle, c->clientID);
  }
  LogBothWays(line);
}

}  // namespace

void SetLoopServices(const LoopServices& services) { g_services = services; }
const LoopServices& GetLoopServices() { return g_services; }

void SetConnectionTimeOutMs(uint32_t ms) { g_timeOutMs = ms; }
uint32_t GetConnectionTimeOutMs() { return g_timeOutMs; }

uint32_t TimeOutSecondsToMs(uint32_t seconds) {
  if (seconds >= 1 && seconds <= 9) seconds = 10;
  return seconds * 1000u;
}

int OpenListenerSocket(int port) {
  ResetConnectionTable();
  g_listenerPausedAt = -1;
  g_exhaustionLogged = false;
  ReportServiceStatus(SERVICE_START_PENDING, 0, 30000);
  if (g_stopEvent < 0) g_stopEvent = CreateStopEvent();

  int family = kFamilyIPv6;
  int fd = CreateStreamSocket(family);
  if (fd < 0 && IsFamilyUnsupported(errno)) {
    family = kFamilyIPv4;
    fd = CreateStreamSocket(family);
  }
  if (fd < 0) {
    WriteLog(0, "Cannot open socket.  Errno=%d", errno);
    return 1;
  }
  WriteLog(0, "Socket opened: fd=%d", fd);
  (void)SetIPv6Only(fd, 0);
  g_dualStack = family == kFamilyIPv6;
  WriteLog(0, g_dualStack ? "Socket in dual IPv6/IPv4 mode" : "Socket in IPv4-only mode");
  (void)SetReuseAddress(fd);
  (void)SetNonBlocking(fd);

  char bindName[32];
  std::snprintf(bindName, sizeof bindName, "port %d", port);
  if (BindAnyAddress(fd, family, port) != 0) {
    WriteLog(0, "Cannot bind to %s.  Errno=%d", bindName, errno);
    CloseSocket(fd);
    return 1;
  }
  WriteLog(0, "Socket bound to %s", bindName);
  if (g_timeOutMs != 0) (void)SetSocketTimeouts(fd, g_timeOutMs);
  if (ListenSocket(fd, kListenBacklog) != 0) {
    WriteLog(0, "Cannot set-up listener.  Errno=%d", errno);
    CloseSocket(fd);
    return 1;
  }
  g_listenFd = fd;
  g_listenPort = GetBoundPort(fd);
  WriteLog(0, "Listening on port %d", g_listenPort);
  ReportServiceStatus(SERVICE_RUNNING, 0, 3000);
  return 0;
}

int GetListenerSocket() { return g_listenFd; }
int GetListenerPort() { return g_listenPort; }
bool ListenerIsDualStack() { return g_dualStack; }

bool RunOnePass(int timeoutMs) {
  if (StopRequested()) return false;
  static PollSet set;  // kept from pass to pass, with its room
  const PassPlan plan = BuildPollSet(set);
  if (StopRequested()) return false;  // a stop that came before the event existed
  FlushLogOutput();  // nothing of the pass is held while the loop waits
  // A request already received is served without waiting, and a suspended
  // request's deadline cuts the wait short.
  int waitMs = plan.carried ? 0 : timeoutMs;
  if (plan.deadlineMs >= 0) {
    const int64_t untilDeadline = std::max<int64_t>(0, plan.deadlineMs - MonotonicMilliseconds());
    if (untilDeadline < waitMs) waitMs = static_cast<int>(untilDeadline);
  }
  int n = WaitForSocketActivity(set, waitMs);
  int err = errno;
  const int marked = plan.carried ? MarkCarriedInputReady() : 0;
  const bool deadlinePassed = plan.deadlineMs >= 0 && MonotonicMilliseconds() >= plan.deadlineMs;
  if (n == 0 && marked == 0 && !deadlinePassed) {
    // Nothing ready: not a busy pass. A listener left out for want of
    // descriptors is tried again after a quiet wait, in case no connection of
    // ours was holding them.
    g_listenerPausedAt = -1;
    return true;
  }
  if (StopRequested()) return false;
  CheckSelectResult(n, err);
  CheckListenerErrSet();
  AcceptConnection();
  ResumeCancelledRequests();  // a connection kicked to make room
  TickTokenSanityCheck();
  ResumeFinishedWorkerRequests();
  ServiceConnections();
  ResumeCancelledRequests();
  FlushPendingReplies(false);
  return true;
}

int RunServerLoop() {
  // The console lines of a pass go out together before the loop waits.
  SetLogConsoleDeferred(true);
  while (RunOnePass(kPollTimeoutMs)) {
  }
  FlushPendingReplies(false);  // what the last pass answered
  UnwindRequests();
  int rc = StopServer();
  SetLogConsoleDeferred(false);
  return rc;
}

void ServiceStop() {
  g_stopRequested.store(1);
  SignalStopEvent(g_stopEvent);
}

bool StopRequested() { return g_stopRequested.load() != 0; }

void ClearStopRequest() {
  g_stopRequested.store(0);
  if (g_stopEvent >= 0) {
    CloseSocket(g_stopEvent);
    g_stopEvent = CreateStopEvent();
  }
}

int StopServer() {
  SlotLog(1, "Server stopping");
  WriteLog(0, "Closing socket.");
  if (g_listenFd >= 0) CloseSocket(g_listenFd);
  g_listenFd = -1;
  if (g_serviceMode) LogServiceEvent("Torvane service stopped");
  return 0;
}

namespace {

// True when the logon UID names a slot in use; `live` is every slot's
// logon UID, sorted.
bool HasLiveLogon(uint32_t logonUID, const std::vector<uint32_t>& live) {
  return logonUID != 0 && std::binary_search(live.begin(), live.end(), logonUID);
}

}  // namespace

int FindOldestClientConnection(uint32_t now) {
  // A connection without a logon (never logged on, logged off, or its slot
  // gone) goes first, whenever it was last used: connections that anyone can
  // open must not push out the users who logged on.
  std::vector<uint32_t> live;
  live.reserve(static_cast<size_t>(GetLUSCount()));
  for (int i = 0; i < GetLUSCount(); ++i) live.push_back(GetLUSByIndex(i)->logonUID);
  std::sort(live.begin(), live.end());
  int found = -1;
  for (int i = 0; i < GetConnectionCount(); ++i) {
    const ConnectionRecord* c = GetConnectionByIndex(i);
    if (c->serverConnection != 0 || HasLiveLogon(c->logonUID, live)) continue;
    if (found < 0 || c->lastUsed < GetConnectionByIndex(found)->lastUsed) found = i;
  }
  if (found >= 0) return found;
  // Every connection has a logon: the one used longest ago, before this second.
  uint32_t oldest = now;
  for (int i = 0; i < GetConnectionCount(); ++i) {
    const ConnectionRecord* c = GetConnectionByIndex(i);
    if (c->serverConnection == 0 && c->lastUsed < oldest) {
      oldest = c->lastUsed;
      found = i;
    }
  }
  return found;
}

void MakeRoomForConnection() {
  if (GetConnectionCount() < MAX_CONNECTIONS) return;
  WriteLog(0, "At MAX_CONNECTIONS: Will try to kick oldest");
  SlotLog(1, "At MAX_CONNECTIONS: Will try to kick oldest");
  int index = FindOldestClientConnection(NowTime32());
  if (index < 0) {
    WriteLog(0, "MAX_CONNECTIONS reached, but no non server connections found");
    index = 0;
  } else {
    LogConnectionKick(index);
  }
  KickConnection(index);
}

void KickConnection(int index) {
  ConnectionRecord* c = GetConnectionByIndex(index);
  if (c == nullptr) return;
  Logoff(*c);
  SendPendingReplyBeforeClose(c);
  SocketClose(c->socket);  // a request suspended on it is cancelled
  RemoveConnectionRecord(c);
}

void AddConnection(int family, const char* host, int socket) {
  const char* label = family == kFamilyIPv4 ? "IPv4" : family == kFamilyIPv6 ? "IPv6" : "IP???";
  const char* text = host != nullptr ? host : "<<unknown>>";
  WriteLog(0, "%s connection received on %s", label, text);
  (void)SetOobInline(socket);
  (void)SetNoDelay(socket);
  // Set on every socket: the listener's options are not relied on.
  if (g_timeOutMs != 0) (void)SetSocketTimeouts(socket, g_timeOutMs);
  SetUrgentLogged(socket, false);
  if (AppendConnection(socket, text) < 0) CloseSocket(socket);  // MakeRoomForConnection ran first
}

int ProcessConnection(int i) {
  ConnectionRecord* c = GetConnectionByIndex(i);
  if (c == nullptr) return i;
  if (c->task != nullptr) {
    // A suspended request: resumed when its wait has ended.
    PinConnection(c);
    FiberWake wake = FiberWake::kReady;
    if (SuspendedRequestWakes(c, MonotonicMilliseconds(), &wake)) ResumeRequest(c, wake);
    ResumeCancelledRequests();
    const int result = GetConnectionByIndex(i) == c ? i : i - 1;
    UnpinConnection(c);
    return result;
  }
  Walk walk;
  walk.next = i;
  walk.limit = i + 1;
  PinConnection(c);  // its request may remove it
  RunWalk(walk);
  // One entry's step: its reply goes out now, as at the end of a pass.
  if (GetConnectionIndex(c) >= 0 && c->task == nullptr && HasPendingReply(c) &&
      SendCarriedOutput(c->socket, c->outputCarry) != CarriedOutput::kSendLater)
    c->outputDeadlineMs = -1;
  UnpinConnection(c);
  return walk.lastServed;
}

int CloseFailedConnection(int i, int socket, int status) {
  ConnectionRecord* c = GetConnectionByIndex(i);
  if (status == 4) {
    WriteLog(0, "**************************");
    WriteLog(0, "Comm failure on socket %d from %s", socket, c != nullptr ? c->peerAddress : "");
    WriteLog(0, "**************************");
  }
  if (c != nullptr) {
    if (c->keepLogon == 0) Logoff(*c);
    SendPendingReplyBeforeClose(c);
  }
  // The close may wait (a request's held reply goes first) and others remove
  // entries meanwhile: the entry goes by its record, not by `i`.
  PinConnection(c);
  SocketClose(socket);
  RemoveConnectionRecord(c);
  UnpinConnection(c);
  return i - 1;
}

int32_t GetPassCount() { return g_passes; }

void SetSocketReadyForTest(int socket, unsigned readyBits) {
  if (socket < 0) return;
  MarkReady(socket, 0);
  g_readyBySocket[static_cast<size_t>(socket)] = readyBits;
}
