// Transport blocks of the configuration store: the little-endian wire forms of
// one parameter node, of a parameter tree and of a whole application, and the
// worker of the tree request that finds the tree and builds its block.
// Configuration layer: calls the parameter trees, the model's lookups, the
// node registry, the wire's little-endian and transport-string helpers and the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ParamTreeNode;
struct ApplicationStruct;

// ---- Layout --------------------------------------------------------------------
//
// Node block (ParamTreeNodeTransportBlock), every word little-endian, no gaps:
//   0   20  NodeHeader: uid, kind (5), time, flags, spare
//   20  4   parent UID          24  4  sibling UID       28  4  child UID
//   32  4   type                36  4  count (i32)       40  4  capacity (i32)
//   44  4+L name as a transport string (L = length + 1; 0 for no name)
//   48+L 4  dataSize: bytes of value that follow (0 without a value)
//   52+L    value: STRING one transport string per element; FIXED_STRING the
//           u32 width then the transport string; INTEGER, DWORD, DATE, TIME,
//           DATE_TIME 4 bytes; FLOAT 8 bytes (IEEE double); other codes
//           nothing; COMPLEX refused.
// Tree block (ParamTreeTransportBlock): node blocks in pre-order: a node, then
//   its first child's chain, then (inner chains always, the first node's own
//   chain only when asked) its next sibling's chain. No count, no terminator.
// Application block (AppTransportBlock):
//   0 20 NodeHeader (uid 0, kind 0, time of its settings file, flags, spare);
//   20 4+L name; configUID; permUID; the configuration tree block with its
//   whole top-level chain when configUID is not 0; the same for permUID.

constexpr uint32_t kNodeBlockFixedBytes = 48;  // header, six words, dataSize
constexpr uint32_t kAppBlockFixedBytes = 28;   // header, configUID, permUID
constexpr int32_t kTransportVersion = 1;       // the only version the tree request serves

// Every block is at most this many bytes (its size travels as an int32).
constexpr int64_t kMaxTransportBlockSize = INT32_MAX;

// ---- Sizes ------------------------------------------------------------------------

// Bytes of the node's own block: 48 + the name's transport string + the value
// bytes. -1 for a null node, a COMPLEX node (logged "GetParamTreeSize:Cannot
// handle complex types yet"), a value whose elements are missing, or a size
// beyond kMaxTransportBlockSize.
int64_t GetParamTreeSize(const ParamTreeNode* node);

// Bytes of the tree block that starts at `node` (with `withSiblings` its own
// chain behind it too). -1 for a null node, a node whose size is -1, or a
// child or sibling link that is not a registered parameter node.
int64_t GetParamTreeBlockSize(const ParamTreeNode* node, bool withSiblings);

// ---- Building -----------------------------------------------------------------------
//
// Where no block can be built the encoders answer with the reason: 22 for a
// node of a type no block can carry (COMPLEX) or a value whose elements are
// missing, 19 for a link that does not resolve, 2 for a null argument or no
// room. Those codes are for the store's own callers and tests: a request
// handler answers every failure to build a block with 1 (cannot build the
// reply), whatever the reason, as a client has always been told, and never
// sends these codes on.

// Writes the node's block into `buffer` (of `bufferSize` bytes) at *offset
// and moves *offset past it. 0; 2 for a null argument or a block that does not
// fit before bufferSize (nothing written past it); 22 for a COMPLEX node or
// missing value elements.
int ConvertParamTreeNodeToTransportBlock(const ParamTreeNode* node, unsigned char* buffer,
                                         size_t bufferSize, size_t* offset);

// The node's block in a new buffer of exactly its size (`out` is cleared on
// failure). 0; 2 null node; 22 as above; 1 when memory fails (logged
// "ConvertParamTreeNodeToTransportBlock:Unable to allocate %d bytes for buffer").
int ConvertParamTreeNodeToTransportBlock(const ParamTreeNode* node, std::vector<unsigned char>& out);

// Writes the tree block that starts at `node` into `buffer` at *offset.
// 0; 2 null argument or no room; 19 a link that does not resolve; 22 a
// COMPLEX node. Nothing is written when it fails (the tree is sized first).
int ConvertParamTreeToTransportBlock(const ParamTreeNode* node, unsigned char* buffer,
                                     size_t bufferSize, size_t* offset, bool withSiblings);

// The tree block in a new buffer of exactly its size (`out` cleared on
// failure). 0; 2; 19; 22 as above; 1 memory (logged
// "ConvertParamTreeToTransportBlock:Unable to allocate %d bytes for buffer").
int ConvertParamTreeToTransportBlock(const ParamTreeNode* node, std::vector<unsigned char>& out,
                                     bool withSiblings);

// The application's block in a new buffer of exactly its size (`out` cleared
// on failure). 0; 2 null application; 19, 22 a tree that cannot be sent; 1
// memory (logged "ConvertAppToTransportBlock:Unable to allocate %d bytes for buffer").
int ConvertAppToTransportBlock(const ApplicationStruct* app, std::vector<unsigned char>& out);

// ---- The tree request ----------------------------------------------------------------

// The block of the tree of envName/appName (null or empty environment:
// "Live") at `path` (null or empty: the first top-level node) in the
// configuration tree, or the permission tree when `permFlag` is non-zero,
// with the first node's own siblings when `withSiblings` is non-zero.
// 2 null or empty application or versionWanted other than 1; 17 no such
// environment; 18 no such application; 19 no node there (an empty tree
// included); 1 no block could be built; 0 with the block in `out` (its size is
// out.size()). `timeStamp` is accepted and not used. `out` is cleared on failure.
int GetParamTreeTransportBlock(const char* envName, const char* appName, const char* path,
                               int permFlag, int withSiblings, int32_t versionWanted,
                               uint32_t timeStamp, std::vector<unsigned char>& out);
