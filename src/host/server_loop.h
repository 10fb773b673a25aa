// The server loop: the TCP listener for IPv6 and IPv4, the poll loop over the
// listener, the stop event and every connection, accepting (with room made at
// MAX_CONNECTIONS), reading and dispatching one request per readable
// connection, closing failed ones, the periodic slot sanity check, and the
// stop. Host layer: calls the platform's listener, poll and socket bound, the
// log, and the sessions and requests layers through LoopServices.
#pragma once

#include <cstdint>

#include "sessions/connection_table.h"

constexpr int INVALID_SOCKET = -1;

// ---- What the loop calls in the layers below ----------------------------------

// The request reader, the dispatcher and the session administration, given to
// the loop as functions so that it can run over any of them (tests give fakes).
struct LoopServices {
  // Reads and authenticates one request header: 0 dispatch, 27 refused and
  // answered, 4 communication failure, 55 peer closed, other: a failed logon.
  int (*getCommand)(ConnectionRecord* conn, int32_t* messageID) = nullptr;
  // Runs the handler; index - 1 when it removed the entry, else index.
  int (*processMessage)(int32_t messageID, int sock, int index) = nullptr;
  // Ends that client's session in the logon (and the logon when none is left).
  int (*doLogoff)(uint32_t logonUID, uint32_t sid, int32_t clientID) = nullptr;
  // Frees every logon that no connection carries.
  void (*sanityCheckTokens)() = nullptr;
};

void SetLoopServices(const LoopServices& services);
const LoopServices& GetLoopServices();

// ---- Settings of the loop --------------------------------------------------------

constexpr int kListenBacklog = 50;
constexpr int kPollTimeoutMs = 10000;        // one wait of the loop
constexpr int32_t kSanityCheckPasses = 1000; // busy passes between sanity checks
constexpr uint32_t kDefaultTimeOutSeconds = 30;
constexpr uint64_t kMinOpenFiles = 1024;

// The per-piece time-out of a connection's requests and replies, in
// milliseconds (0: none). Set from Comms\TimeOut after the stores are loaded.
void SetConnectionTimeOutMs(uint32_t ms);
uint32_t GetConnectionTimeOutMs();
// Comms\TimeOut as seconds -> milliseconds: 1 to 9 become 10, times 1000 in
// 32 bits; 0 stays 0.
uint32_t TimeOutSecondsToMs(uint32_t seconds);

// ---- Listener and loop -------------------------------------------------------------

// Empties the connection table and opens the listener on `port`: one IPv6
// socket with IPV6_V6ONLY off, or IPv4 only where IPv6 is not supported;
// SO_REUSEADDR, non-blocking, backlog 50. Logs each step as it goes. 0 when
// it listens (RUNNING reported); 1 on failure, logged.
int OpenListenerSocket(int port);
// The listening socket (-1 before it is opened or after the stop) and its port.
int GetListenerSocket();
int GetListenerPort();
// "dual" (IPv6 and IPv4) or IPv4 only.
bool ListenerIsDualStack();

// Runs passes until a stop is requested; then StopServer. Gives 0.
int RunServerLoop();
// One pass (tests): wait at most `timeoutMs`, accept, tick, serve. False when
// a stop was requested (nothing done).
bool RunOnePass(int timeoutMs);

// Requests the stop from any thread or a signal handler (async-signal-safe):
// sets the atomic stop flag and wakes the wait through the stop event. Only
// the loop closes the listener.
void ServiceStop();
bool StopRequested();
// Clears a stop request (tests; a new run).
void ClearStopRequest();
// The stop sequence: "Server stopping" to the slot-operations log, "Closing
// socket.", the listener closed once. Gives 0.
int StopServer();

// ---- Steps of a pass (tests) ------------------------------------------------------------

// At MAX_CONNECTIONS: the non-server connection without a logon (logon UID 0,
// or one that no slot holds) with the smallest lastUsed, whenever that was;
// when every connection has a logon, the non-server connection with the
// smallest lastUsed strictly before `now`. The lower index among equals; -1
// when there is none.
int FindOldestClientConnection(uint32_t now);
// Makes room at MAX_CONNECTIONS by kicking one connection.
void MakeRoomForConnection();
// Ends the entry's logon whatever keepLogon says, closes and removes it.
void KickConnection(int index);
// Appends the accepted socket with its peer text; the socket gets its
// options (urgent data inline, the time-outs).
void AddConnection(int family, const char* host, int socket);
// Reads and dispatches one request of entry `index` when it is readable;
// gives the index of the last entry served.
int ProcessConnection(int index);
// Ends the logon unless kept, closes and removes the entry; index - 1.
int CloseFailedConnection(int index, int socket, int status);
// The pass counter (busy passes since the start).
int32_t GetPassCount();
// Marks a socket ready (or not) as a wait would (tests of ProcessConnection).
void SetSocketReadyForTest(int socket, unsigned readyBits);
