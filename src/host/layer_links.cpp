// The functions of the layers below given to the loop and the start-up.
// Host layer.
#include "host/layer_links.h"

#include "host/run_server.h"
#include "host/server_loop.h"
#include "requests/dispatcher.h"
#include "sessions/request_reader.h"
#include "sessions/session_admin.h"

namespace {

// A broken connection's logoff: that client's sessions of its logon.
int LogoffBrokenConnection(uint32_t logonUID, int, int32_t clientID) { return DoLogoff(logonUID, 0, clientID); }

}  // namespace

void LinkServerLayers() {
  LoopServices loop;
  loop.getCommand = GetCommand;
  loop.processMessage = ProcessMessage;
  loop.doLogoff = LogoffBrokenConnection;
  loop.sanityCheckTokens = SanityCheckTokens;
  SetLoopServices(loop);
}
