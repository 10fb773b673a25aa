// The functions of the layers below given to the loop and the start-up.
// Host layer.
#include "host/layer_links.h"

#include "host/run_server.h"
#include "host/server_loop.h"
#include "requests/dispatcher.h"
#include "sessions/request_reader.h"
#include "sessions/session_admin.h"

void LinkServerLayers() {
  LoopServices loop;
  loop.getCommand = GetCommand;
  loop.processMessage = ProcessMessage;
  loop.doLogoff = DoLogoff;
  loop.sanityCheckTokens = SanityCheckTokens;
  SetLoopServices(loop);
}
