// Numeric network addresses as text: the bytes of an IPv4 or IPv6 address
// written the way the listener records a peer (dotted quad, or IPv6 text with
// an optional "%scope" suffix).
// Platform layer: calls the C library's address conversion only.
#pragma once

#include <cstdint>

// The bytes of one address: 4 for IPv4, 16 for IPv6.
struct NumericAddress {
  int length = 0;          // 4 or 16; 0 when the text was no address
  uint8_t bytes[16] = {};  // network order
};

// Reads `text` as an IPv4 address, else as an IPv6 address (a "%scope"
// suffix is passed over). False, with `out` cleared, for a null text or
// anything else.
bool ParseNumericAddress(const char* text, NumericAddress* out);
