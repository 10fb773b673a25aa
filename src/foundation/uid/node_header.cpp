// The NodeHeader's little-endian image and the node type codes.
// Foundation layer: calls the case-insensitive compare of the utilities.
#include "foundation/uid/node_header.h"

#include <cstring>

#include "foundation/util/util.h"

namespace {

void PutU32(unsigned char* out, uint32_t v) {
  out[0] = static_cast<unsigned char>(v & 0xFF);
  out[1] = static_cast<unsigned char>((v >> 8) & 0xFF);
  out[2] = static_cast<unsigned char>((v >> 16) & 0xFF);
  out[3] = static_cast<unsigned char>((v >> 24) & 0xFF);
}

uint32_t GetU32(const unsigned char* in) {
  return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
         (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

struct NodeTypeName {
  const char* name;
  NodeMainType type;
};

constexpr NodeTypeName kNodeTypeNames[] = {
    {"ROOT", NodeMainType::Root},
    {"ENVIRONMENT", NodeMainType::Environment},
    {"APPLICATION", NodeMainType::Application},
    {"PERMISSION", NodeMainType::Permission},
    {"CONFIGURATION", NodeMainType::Configuration},
    {"USER", NodeMainType::User},
    {"GROUP", NodeMainType::Group},
};

constexpr int kMaxNodeSubType = 255;

}  // namespace

void EncodeNodeHeader(const NodeHeader& header, unsigned char* out) {
  PutU32(out + 0, header.uid);
  PutU32(out + 4, header.kind);
  PutU32(out + 8, header.timeStamp);
  PutU32(out + 12, header.flags);
  PutU32(out + 16, header.spare);
}

NodeHeader DecodeNodeHeader(const unsigned char* in) {
  NodeHeader h;
  h.uid = GetU32(in + 0);
  h.kind = GetU32(in + 4);
  h.timeStamp = GetU32(in + 8);
  h.flags = GetU32(in + 12);
  h.spare = GetU32(in + 16);
  return h;
}

uint32_t MakeNodeTypeCode(const char* typeName, int subtype) {
  if (typeName == nullptr || typeName[0] == '\0') return 0;
  if (subtype < 0 || subtype > kMaxNodeSubType) return 0;
  for (const NodeTypeName& t : kNodeTypeNames) {
    if (EqualsNoCase(typeName, t.name)) {
      return static_cast<uint32_t>(t.type) * 256u + static_cast<uint32_t>(subtype);
    }
  }
  return 0;
}

uint32_t GetNodeMainType(uint32_t code) { return code >> 8; }

uint32_t GetNodeSubType(uint32_t code) { return code & 0xFFu; }
