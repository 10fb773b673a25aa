// The whole lists of users and of groups as their transport blocks at one
// moment, for the replies that send every record. A list is made by the first
// reader of a version of the records (user_records.h, groups.h), is never
// changed afterwards, and is shared by every reader that starts while that
// version stays; it is freed when its last reader lets go of it. So a reply
// that goes out across many waits sends the records of one moment whatever
// other requests add, change or delete meanwhile, and many slow readers of
// one version hold the list once between them.
// What bounds the lists alive: each is held by the replies that began while
// its version was current, and a reply holds one; so there are at most as
// many as versions that came while an older reply still goes out (one per
// change of the records meanwhile), and never more than the connections
// reading a list. A reply lasts no longer than its transfer bound lets it
// (platform/socket_io.h), and a list goes with the last of its replies.
// Server thread only (the lists are made, shared and freed there).
// Directory layer: calls the user and group records and their block encoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// Every record's entry as the list reply sends it, its block's size (a
// little-endian word) and then the block, one after another in list order.
struct RecordList {
  uint64_t version = 0;                // the version of the records it was made of
  std::vector<unsigned char> entries;  // the entries, back to back
  std::vector<size_t> starts;          // where each record's entry begins in `entries`

  size_t Count() const { return starts.size(); }
  // Entry i's first byte (its size word) and its length (4 + the block's size).
  const unsigned char* EntryAt(size_t i) const { return entries.data() + starts[i]; }
  size_t EntryLength(size_t i) const { return (i + 1 < starts.size() ? starts[i + 1] : entries.size()) - starts[i]; }
};

// Held by a reader for as long as it sends; the bytes do not change while
// any holder keeps them, so a reply may send straight from them across waits.
using SharedRecordList = std::shared_ptr<const RecordList>;

// The list of every user (in the array's order) or of every group as they
// are now: the list a reader of this version already holds, else a new one
// (each record encoded once; a user's block is the one
// ConvertUserToTransportBlock builds, with every hash in it). Null when the
// memory cannot be had (logged by the encoder, or here).
SharedRecordList TakeUserList();
SharedRecordList TakeGroupList();

// Lists held by some reader now, of users and of groups together (tests).
size_t RecordListsAlive();
