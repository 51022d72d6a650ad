// Read-only access to the debug ring for the viewer: opens it without
// creating it or blocking on it, never writes it, tells whether a process
// still holds it, which records a follower can print, and turns slots into
// lines that are safe on any terminal. Records may be torn or share a
// number: nothing here trusts their contents.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "tamlix/DebugRecord.h"

namespace tamlix::debugview {

class RingReader {
 public:
  explicit RingReader(std::string name);
  ~RingReader();
  RingReader(const RingReader&) = delete;
  RingReader& operator=(const RingReader&) = delete;

  enum class Failure {
    None,
    Absent,      // no object has the name
    Unreadable,  // it may not be read; `reason` says why
    NotARing,    // not a regular object of the ring's size; `reason` says which
  };
  // Opens the ring for reading; on failure the reader stays closed and
  // `reason` (when given) gets a short text. Never blocks: an object that
  // is not a ring (a FIFO) is refused unread.
  Failure Open(std::string* reason = nullptr);
  bool IsOpen() const { return fd_ >= 0; }
  // Whether a process holds the open ring (each writer holds a shared lock
  // while it has the ring open). False for a ring left by a process that
  // ended (killed) and not yet made anew.
  bool Held() const;
  // True when the name now belongs to another ring than the open one (the
  // old one was removed by its last user and a new one made), or is gone.
  bool Replaced() const;
  void Close();

  // A copy of every slot, taken now: read, not mapped, so that an object
  // cut short under the reader gives zeros, never a fault.
  std::vector<TDebugRecord> Snapshot() const;

 private:
  std::string name_;
  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

// What --follow has printed of one ring, and which records of a new
// snapshot are due. A writer fills a slot in order and writes Time last, so
// a record is whole once its time is no longer the time that its slot held
// before (a writer that stopped halfway leaves the old time); a record whose
// new time really equals the old one is let through after kPatience looks.
// A record is printed once it is whole, in sequence order: a whole record
// waits behind a lower one that is cut for one look (a snapshot is no
// instant, and can hold the next record whole beside one still being
// written), kept as it was seen then; a record that stays cut (its writer
// gone) holds back nothing after that, and comes out by itself once whole.
class Follower {
 public:
  static constexpr int kPatience = 20;

  struct Due {
    int slot;  // the slot it was seen in
    TDebugRecord record;
  };
  // The records to print now, in sequence order (the lower slot first among
  // equal numbers); they count as printed from here on. With `final` (the
  // ring's writers are gone, so nothing is being written) every record not
  // printed yet is due, cut or not.
  std::vector<Due> TakeDue(const std::vector<TDebugRecord>& slots, bool final);

 private:
  struct Slot {
    int32_t taken_seq = 0;  // the record taken last from this slot
    double taken_time = 0;  // and its time: 0 for a slot never written
    int32_t cut_seq = 0;    // a record seen cut in this slot
    int cut_looks = 0;      // further looks for which it stayed cut
  };
  Slot slots_[TAMLIX_DEBUG_SLOTS];
  std::vector<Due> held_;  // whole, waiting behind a lower record just seen cut
};

struct FormatOptions {
  bool data = false;
  bool utf8 = false;  // the terminal's encoding is UTF-8
};

// Text as only printable characters: C0 and C1 controls, DEL and the
// backslash as \xNN; the other bytes above 0x7F as the settings files' code
// page's characters in UTF-8 with `utf8`, else as \xNN.
std::string VisibleText(std::string_view bytes, bool utf8);

// One record as one line (and a data line with `data`), in visible text.
std::string FormatRecord(const TDebugRecord& rec, const FormatOptions& options);

// The written slots (Sequence > 0) of a snapshot in Sequence order, the
// lower slot first among equal numbers.
std::vector<const TDebugRecord*> InSequenceOrder(const std::vector<TDebugRecord>& slots);

}  // namespace tamlix::debugview
