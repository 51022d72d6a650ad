// Read-only access to the debug ring for the viewer: opens it without
// creating it, never writes it, tells which records a follower can print,
// and turns slots into printable lines. Records may be torn or share a
// number: nothing here trusts their contents.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tamlix/DebugRecord.h"

namespace tamlix::debugview {

class RingReader {
 public:
  explicit RingReader(std::string name);
  ~RingReader();
  RingReader(const RingReader&) = delete;
  RingReader& operator=(const RingReader&) = delete;

  // Maps the ring read-only; false (errno set) when no process has it open.
  bool Open();
  bool IsOpen() const { return view_ != nullptr; }
  // True when the name now belongs to another ring than the mapped one (the
  // old one was removed by its last user and a new one made), or is gone.
  bool Replaced() const;
  void Close();

  // A copy of every slot, taken now.
  std::vector<TDebugRecord> Snapshot() const;

 private:
  std::string name_;
  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  const TDebugRecord* view_ = nullptr;
};

// What --follow has printed of one ring, and which records of a new
// snapshot are due. A writer fills a slot in order and writes Time last, so
// a record is due once its number and time have held still for one look and
// its time is no longer the time the slot held before it (a writer that
// stopped halfway, preempted, leaves the old time); a record whose new time
// really equals the old one is let through after kPatience looks. It is due
// only after every unprinted record numbered below it: a snapshot is no
// instant, and can hold the next record whole beside one still being
// written.
class Follower {
 public:
  static constexpr int kPatience = 20;

  // The slot indexes of the records to print now, in sequence order (the
  // lower slot first among equal numbers); they count as printed from here
  // on. With `final` (the ring's writers are gone, so nothing is being
  // written) every record not printed yet is due.
  std::vector<int> TakeDue(const std::vector<TDebugRecord>& slots, bool final);

 private:
  struct Slot {
    int32_t printed_seq = 0;  // the record printed last from this slot
    double printed_time = 0;  // and its time: 0 for a slot never written
    int32_t seen_seq = 0;     // the record seen at the last look
    double seen_time = 0;
    int looks = 0;            // looks for which the seen record held still
  };
  Slot slots_[TAMLIX_DEBUG_SLOTS];
};

struct FormatOptions {
  bool data = false;
};

// One record as one line (and a data line with `data`); control characters
// shown as \xNN, so a claim's framing bytes stay visible.
std::string FormatRecord(const TDebugRecord& rec, const FormatOptions& options);

// The written slots (Sequence > 0) of a snapshot in Sequence order, the
// lower slot first among equal numbers.
std::vector<const TDebugRecord*> InSequenceOrder(const std::vector<TDebugRecord>& slots);

}  // namespace tamlix::debugview
