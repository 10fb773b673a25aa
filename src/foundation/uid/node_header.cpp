// The NodeHeader's little-endian image and the node type codes.
// Foundation layer: calls the byte-order helpers and the case-insensitive
// compare of the utilities.
#include "foundation/uid/node_header.h"

#include <cstring>

#include "foundation/util/byte_order.h"
#include "foundation/util/util.h"

namespace {

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
  PutLE32(out + 0, header.uid);
  PutLE32(out + 4, header.kind);
  PutLE32(out + 8, header.timeStamp);
  PutLE32(out + 12, header.flags);
  PutLE32(out + 16, header.spare);
}

NodeHeader DecodeNodeHeader(const unsigned char* in) {
  NodeHeader h;
  h.uid = GetLE32(in + 0);
  h.kind = GetLE32(in + 4);
  h.timeStamp = GetLE32(in + 8);
  h.flags = GetLE32(in + 12);
  h.spare = GetLE32(in + 16);
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
