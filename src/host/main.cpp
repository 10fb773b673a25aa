// The program's entry: the service frame's commands, the console run
// (-debug) or the hand-over to the service manager.
// Host layer: calls the service frame and the layer links.
#include "host/layer_links.h"
#include "host/service/service_frame.h"

int main(int argc, char** argv) {
  LinkServerLayers();
  return ServiceFrameMain(argc, argv);
}
