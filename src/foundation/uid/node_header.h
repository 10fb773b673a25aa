// The NodeHeader that begins every record of the configuration and directory
// stores and every user, group, parameter-node and application transport
// block; the UID type, the reserved UIDs of the built-in objects, the record
// kinds, and the (unused by the system) node type codes.
// Foundation layer; depends on nothing but the standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

// ---- UIDs ------------------------------------------------------------------

// A record's identifier: 0 is none; ordinary UIDs are issued from 1 upward;
// kFirstReservedUID and above belong to built-in objects and are never issued.
// Written "%08X" in XML and in messages.
using UID = uint32_t;

constexpr UID kNoUID = 0;
constexpr UID kFirstReservedUID = 4000000000u;  // 0xEE6B2800

// The fixed UIDs of the built-in objects.
constexpr UID kUIDEveryoneGroup = 4000000000u;        // group Everyone
constexpr UID kUIDAdministratorsGroup = 4000000001u;  // group Administrators
constexpr UID kUIDAdministrator = 4000000002u;        // user administrator
constexpr UID kUIDDefaultPermission = 4000000003u;    // default permission
constexpr UID kUIDConfigurationRoot = 4000000004u;    // configuration root
constexpr UID kUIDLiveEnvironment = 4000000005u;      // "Live" as made by initialisation
constexpr UID kUIDGuest = 4000000006u;                // user guest
constexpr UID kUIDDefaultUser = 4000000007u;          // user default_user (template of new users)
constexpr UID kUIDZentakUser = 4000000008u;           // user ZentakUser (integration account)

// True for the UIDs of built-in objects (4000000000 and above).
constexpr bool IsReservedUID(UID uid) { return uid >= kFirstReservedUID; }

// ---- NodeHeader --------------------------------------------------------------

// The kind word of a NodeHeader: what the record is. These are NOT the node
// type codes further down (those are another number set with clashing names).
enum NodeKind : uint32_t {
  NODE_KIND_APPLICATION = 0,
  NODE_KIND_CONFIG_ROOT = 2,
  NODE_KIND_ENVIRONMENT = 3,
  NODE_KIND_PARAM_NODE = 5,  // parameter-tree node of a configuration or permission tree
  NODE_KIND_USER = 6,
  NODE_KIND_GROUP = 7,
  NODE_KIND_PERMISSION = 9,
};

// Bits of the flags word.
constexpr uint32_t kNodeFlagUserBlockHasAdUserLevel = (1u << 1);  // 0x2: user block carries ADUSER and LEVEL

// The five words that begin every stored record. A record struct declares it
// as its FIRST member, named `header`:
//     struct UserStruct { NodeHeader header; std::string name; ... };
// The node registry keeps the address of that member (see node_registry.h).
// Never written to a file or socket as a struct: use EncodeNodeHeader.
struct NodeHeader {
  UID uid = 0;             // word 0: the record's UID (0: none / not registered)
  uint32_t kind = 0;       // word 1: a NodeKind value
  uint32_t timeStamp = 0;  // word 2: 32-bit seconds since 1970 (0 in a new record)
  uint32_t flags = 0;      // word 3: kNodeFlag... bits
  uint32_t spare = 0;      // word 4: always 0
};
static_assert(sizeof(NodeHeader) == 20, "NodeHeader is five 32-bit words");
static_assert(std::is_standard_layout_v<NodeHeader>);

constexpr size_t kNodeHeaderSize = 20;  // bytes on the wire and in the blocks

// Writes the five words little-endian, byte by byte, at `out` (20 bytes).
void EncodeNodeHeader(const NodeHeader& header, unsigned char* out);

// Reads the five little-endian words at `in` (20 bytes; the caller has checked
// that they are there).
NodeHeader DecodeNodeHeader(const unsigned char* in);

// ---- Record <-> header ---------------------------------------------------------

// The record that begins with `header`. T must be a plain record whose first
// member is `NodeHeader header`. Null for null. The caller has checked the
// kind word (see GetRecordByUID in node_registry.h, which does both).
template <class T>
T* RecordFromHeader(NodeHeader* header) {
  static_assert(std::is_standard_layout_v<T>, "records are plain structs");
  static_assert(offsetof(T, header) == 0, "NodeHeader header must be the first member");
  return reinterpret_cast<T*>(header);
}

template <class T>
const T* RecordFromHeader(const NodeHeader* header) {
  static_assert(std::is_standard_layout_v<T>, "records are plain structs");
  static_assert(offsetof(T, header) == 0, "NodeHeader header must be the first member");
  return reinterpret_cast<const T*>(header);
}

// ---- Node type codes ------------------------------------------------------------

// code = type x 256 + subtype (subtype 0..255). Offered by the module, used by
// no part of the system. A separate, scoped enumeration so that a type can
// never be compared with a NodeHeader kind word by mistake (PERMISSION and
// CONFIGURATION are both 5 here, USER 6 and GROUP 7 coincide only by chance).
enum class NodeMainType : uint32_t {
  Root = 1,
  Environment = 3,
  Application = 4,
  Permission = 5,
  Configuration = 5,
  User = 6,
  Group = 7,
};

// The node type code for a type name ("ROOT", "ENVIRONMENT", "APPLICATION",
// "PERMISSION", "CONFIGURATION", "USER", "GROUP", compared without regard to
// case) and a subtype 0..255. 0 for an unknown, null or empty name or a
// subtype outside 0..255.
uint32_t MakeNodeTypeCode(const char* typeName, int subtype);

// The code shifted right by 8 bits.
uint32_t GetNodeMainType(uint32_t code);

// The low 8 bits of the code.
uint32_t GetNodeSubType(uint32_t code);
