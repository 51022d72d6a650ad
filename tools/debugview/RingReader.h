// Read-only access to the debug ring for the viewer: opens it without
// creating it, never writes it, and turns slots into printable lines.
// Records may be torn or share a number: nothing here trusts their contents.
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
