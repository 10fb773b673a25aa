// The 31-bit shift-register keystream and the XOR scrambler over it.
// Foundation layer; calls nothing.
#include "foundation/crypto/scrambler.h"

uint32_t NextLfsrValue(uint32_t x) {
  // Taps at bits 0, 7, 11 and 23; the feedback enters at bit 30, so a
  // state below 2^31 stays below it.
  uint32_t feedback = (x ^ (x >> 7) ^ (x >> 11) ^ (x >> 23)) & 1u;
  return (x >> 1) ^ (feedback << 30);
}

uint32_t ScrambleBuffer(void* buffer, size_t length, uint32_t seed) {
  uint32_t state = seed & kLfsrStateMask;
  // From a zero state the register never leaves 0 (and the skip loop below
  // would never end), so such a seed changes nothing.
  if (buffer == nullptr || length == 0 || state == 0) return 0;

  // A non-zero 31-bit state never becomes 0: its bits only move down and
  // the feedback only adds bit 30. So a non-zero bit reaches the low byte
  // within 23 steps and the skip loop always ends.
  uint8_t* p = static_cast<uint8_t*>(buffer);
  for (size_t i = 0; i < length; ++i) {
    do {
      state = NextLfsrValue(state);
    } while ((state & 0xFFu) == 0);
    p[i] = static_cast<uint8_t>(p[i] ^ (state & 0xFFu));
  }
  return state;
}

void DescrambleBuffer(void* buffer, size_t length, uint32_t seed) {
  (void)ScrambleBuffer(buffer, length, seed);
}
