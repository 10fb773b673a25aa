// Wires the loop and the start-up to the sessions and requests layers: the
// request reader, the dispatcher, the logoff, the sanity check, the current
// logon slot, the slot-operations log and the authentication start-up steps.
// Host layer: calls the layers below.
#pragma once

void LinkServerLayers();
