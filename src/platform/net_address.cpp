// Numeric address texts to bytes.
// Platform layer: calls inet_pton only.
#include "platform/net_address.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

bool ParseNumericAddress(const char* text, NumericAddress* out) {
  if (out == nullptr) return false;
  *out = NumericAddress{};
  if (text == nullptr) return false;
  if (inet_pton(AF_INET, text, out->bytes) == 1) {
    out->length = 4;
    return true;
  }
  std::string address(text);
  const size_t scope = address.find('%');
  if (scope != std::string::npos) address.resize(scope);
  if (inet_pton(AF_INET6, address.c_str(), out->bytes) == 1) {
    out->length = 16;
    return true;
  }
  std::memset(out->bytes, 0, sizeof out->bytes);
  return false;
}
