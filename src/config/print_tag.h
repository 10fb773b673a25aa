// The indenting printer of the configuration store's diagnostics (the model's
// and the parameter trees' print operations): one line to standard output per
// call, indented two spaces per open level.
// Configuration layer: calls stdio only.
#pragma once

// Writes one line to standard output indented two spaces per open level:
// direction 1 writes "<text>" and opens a level, -1 closes one and writes
// "</text>", 0 writes the text. A null text prints as "".
void PrintTag(const char* text, int direction);
