// The program's entry: takes the service name from its own file name and
// runs the server in the console ("-debug", and for now any command line),
// with SIGINT and SIGTERM requesting the stop.
// Host layer: calls the run function, the loop's stop and the platform.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/layer_links.h"
#include "host/run_server.h"
#include "host/server_loop.h"
#include "platform/process_control.h"

namespace {
std::string g_serviceName;

void OnStopSignal() { ServiceStop(); }
}  // namespace

int main(int argc, char** argv) {
  g_serviceName = ProgramBaseName(argc > 0 ? argv[0] : "TorvaneServer");
  // "-debug" (or "/debug") as the first word: the console run; the words
  // after it are the server's own. The service commands come with the
  // service frame; until then every run is a console run.
  std::vector<const char*> args;
  args.push_back(argc > 0 ? argv[0] : "TorvaneServer");
  int first = 1;
  if (argc > 1 && (std::strcmp(argv[1] + (argv[1][0] == '/' ? 1 : 0), "debug") == 0 ||
                   std::strcmp(argv[1], "-debug") == 0)) {
    first = 2;
  }
  for (int i = first; i < argc; ++i) args.push_back(argv[i]);
  InstallStopSignals(OnStopSignal);
  LinkServerLayers();
  return RunServer(static_cast<int>(args.size()), args.data());
}
