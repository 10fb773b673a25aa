// The functions of the layers below given to the loop and the start-up.
// Host layer.
#include "host/layer_links.h"

#include "host/run_server.h"
#include "host/server_loop.h"

void LinkServerLayers() {
  LoopServices loop;
  SetLoopServices(loop);
}
