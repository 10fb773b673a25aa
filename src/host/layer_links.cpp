// The functions of the layers below given to the loop and the start-up, and
// the check of a request's logon after each of its waits.
// Host layer.
#include "host/layer_links.h"

#include "host/run_server.h"
#include "host/server_loop.h"
#include "platform/fiber_tasks.h"
#include "requests/dispatcher.h"
#include "sessions/request_guard.h"
#include "sessions/request_reader.h"
#include "sessions/session_admin.h"

void LinkServerLayers() {
  LoopServices loop;
  loop.getCommand = GetCommand;
  loop.processMessage = ProcessMessage;
  loop.doLogoff = DoLogoff;
  loop.sanityCheckTokens = SanityCheckTokens;
  SetLoopServices(loop);
  // Every wait of a request is followed by a check of the logon it stands on.
  SetFiberWaitCheck(RequestLogonHolds);
}
