// Log text formatting without stdio for the conversions the log uses, with
// vsnprintf for everything else.
// Foundation layer: calls the C library only.
#include "foundation/log/log_format.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// The output: bytes beyond the buffer are counted, not written.
struct Out {
  char* buf;
  size_t size;   // room, the NUL's included
  size_t used = 0;
  void Put(const char* p, size_t n) {
    if (used + 1 < size) {
      const size_t room = size - 1 - used;
      std::memcpy(buf + used, p, n < room ? n : room);
    }
    used += n;
  }
  void Repeat(char c, size_t n) {
    for (size_t i = 0; i < n; ++i) Put(&c, 1);
  }
  void End() { buf[used < size ? used : size - 1] = '\0'; }
};

// One conversion as parsed: what the fast path can write.
struct Spec {
  bool zero = false;
  bool left = false;
  int width = -1;      // -1: none
  int precision = -1;  // -1: none
  int length = 0;      // 0 int, 1 long, 2 long long, 3 size_t
  char conversion = 0;
};

// Parses the conversion after '%' at *p; false for anything the fast path
// does not write (the whole text then goes to vsnprintf).
bool ParseSpec(const char*& p, Spec& s, va_list& ap) {
  for (;; ++p) {
    if (*p == '0') {
      s.zero = true;
    } else if (*p == '-') {
      s.left = true;
    } else {
      break;
    }
  }
  if (*p == '*') {
    s.width = va_arg(ap, int);
    if (s.width < 0) {
      s.left = true;
      s.width = -s.width;
    }
    ++p;
  } else if (*p >= '1' && *p <= '9') {
    s.width = 0;
    while (*p >= '0' && *p <= '9') {
      s.width = s.width * 10 + (*p++ - '0');
      if (s.width > 4096) return false;
    }
  }
  if (*p == '.') {
    ++p;
    if (*p == '*') {
      s.precision = va_arg(ap, int);  // a negative one is as none
      ++p;
    } else {
      s.precision = 0;
      while (*p >= '0' && *p <= '9') {
        s.precision = s.precision * 10 + (*p++ - '0');
        if (s.precision > 1 << 20) return false;
      }
    }
  }
  if (*p == 'l') {
    ++p;
    s.length = 1;
    if (*p == 'l') {
      ++p;
      s.length = 2;
    }
  } else if (*p == 'z') {
    ++p;
    s.length = 3;
  }
  s.conversion = *p;
  switch (s.conversion) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
      return true;
    case 's':
      return s.length == 0 && !s.zero;
    case 'c':
      return s.length == 0 && !s.zero && s.precision < 0;
    default:
      return false;
  }
}

// Pads `body` (its `n` bytes, a sign or none before it) to the conversion's width.
void PutPadded(Out& out, const Spec& s, const char* sign, const char* body, size_t n) {
  const size_t signLength = sign != nullptr ? std::strlen(sign) : 0;
  size_t digits = n;
  size_t precisionZeros = 0;
  if (s.precision >= 0 && static_cast<size_t>(s.precision) > digits) precisionZeros = s.precision - digits;
  const size_t total = signLength + precisionZeros + digits;
  const size_t pad = s.width > 0 && static_cast<size_t>(s.width) > total ? s.width - total : 0;
  // '0' pads between the sign and the digits, unless left-justified or given a precision.
  const bool zeroPad = s.zero && !s.left && s.precision < 0;
  if (!s.left && !zeroPad) out.Repeat(' ', pad);
  if (signLength) out.Put(sign, signLength);
  if (zeroPad) out.Repeat('0', pad);
  out.Repeat('0', precisionZeros);
  out.Put(body, digits);
  if (s.left) out.Repeat(' ', pad);
}

void PutInteger(Out& out, const Spec& s, va_list& ap) {
  const bool isSigned = s.conversion == 'd' || s.conversion == 'i';
  uint64_t magnitude = 0;
  bool negative = false;
  if (isSigned) {
    int64_t v = 0;
    switch (s.length) {
      case 0: v = va_arg(ap, int); break;
      case 1: v = va_arg(ap, long); break;
      case 2: v = va_arg(ap, long long); break;
      default: v = static_cast<int64_t>(va_arg(ap, size_t)); break;
    }
    negative = v < 0;
    magnitude = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  } else {
    switch (s.length) {
      case 0: magnitude = va_arg(ap, unsigned int); break;
      case 1: magnitude = va_arg(ap, unsigned long); break;
      case 2: magnitude = va_arg(ap, unsigned long long); break;
      default: magnitude = va_arg(ap, size_t); break;
    }
  }
  char digits[24];
  size_t n = 0;
  const unsigned base = (s.conversion == 'x' || s.conversion == 'X') ? 16 : 10;
  const char* alphabet = s.conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  // A precision of 0 writes nothing for the value 0.
  if (!(magnitude == 0 && s.precision == 0)) {
    do {
      digits[sizeof digits - 1 - n++] = alphabet[magnitude % base];
      magnitude /= base;
    } while (magnitude != 0);
  }
  PutPadded(out, s, negative ? "-" : nullptr, digits + sizeof digits - n, n);
}

}  // namespace

int FormatLogText(char* buf, size_t size, const char* format, va_list ap) {
  if (buf == nullptr || size == 0) return vsnprintf(buf, size, format != nullptr ? format : "", ap);
  if (format == nullptr) {
    buf[0] = '\0';
    return 0;
  }
  va_list args;
  va_copy(args, ap);
  Out out{buf, size};
  for (const char* p = format; *p != '\0';) {
    if (*p != '%') {
      const char* next = std::strchr(p, '%');
      const size_t n = next != nullptr ? static_cast<size_t>(next - p) : std::strlen(p);
      out.Put(p, n);
      p += n;
      continue;
    }
    ++p;
    if (*p == '%') {
      out.Put("%", 1);
      ++p;
      continue;
    }
    Spec spec;
    if (!ParseSpec(p, spec, args)) {
      va_end(args);
      return vsnprintf(buf, size, format, ap);
    }
    ++p;  // the conversion character
    if (spec.conversion == 's') {
      const char* text = va_arg(args, const char*);
      if (text == nullptr) {  // the C library's own spelling of it
        va_end(args);
        return vsnprintf(buf, size, format, ap);
      }
      const size_t n = spec.precision >= 0 ? strnlen(text, static_cast<size_t>(spec.precision)) : std::strlen(text);
      Spec plain = spec;
      plain.precision = -1;  // the text's precision is its cut, not zeros
      PutPadded(out, plain, nullptr, text, n);
    } else if (spec.conversion == 'c') {
      const char c = static_cast<char>(va_arg(args, int));
      PutPadded(out, spec, nullptr, &c, 1);
    } else {
      PutInteger(out, spec, args);
    }
  }
  va_end(args);
  out.End();
  return out.used > static_cast<size_t>(INT32_MAX) ? -1 : static_cast<int>(out.used);
}
