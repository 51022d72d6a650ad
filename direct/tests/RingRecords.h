// Reading back what the library wrote into the debug ring: every record
// written after a mark, in sequence order, and an ordered-subsequence check.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "UnitDebugSys.h"

namespace tamlix::direct::testing {

struct TRecord {
  int sequence = 0;
  std::string module, procedure, message, session, detail, data;
};

inline std::string Text(const TShortString& s) { return std::string(s.Chars, s.Length); }

// Slot i's number; the packed field may sit unaligned, so it is copied.
inline int32_t SequenceOf(const TDebugRecord& r) {
  int32_t seq;
  std::memcpy(&seq, reinterpret_cast<const char*>(&r) + offsetof(TDebugRecord, Sequence), sizeof seq);
  return seq;
}

inline int LastSequence() {
  const TDebugRecord* ring = DebugSharedView();
  int last = 0;
  for (int i = 0; ring && i < TAMLIX_DEBUG_SLOTS; ++i) last = std::max(last, SequenceOf(ring[i]));
  return last;
}

inline std::vector<TRecord> RecordsSince(int mark) {
  std::vector<TRecord> out;
  const TDebugRecord* ring = DebugSharedView();
  for (int i = 0; ring && i < TAMLIX_DEBUG_SLOTS; ++i) {
    const TDebugRecord& r = ring[i];
    const int32_t seq = SequenceOf(r);
    if (seq <= mark) continue;
    out.push_back({seq, Text(r.Module), Text(r.Procedure), Text(r.Message), Text(r.Session),
                   Text(r.Detail), std::string(r.Data)});
  }
  std::sort(out.begin(), out.end(), [](const TRecord& a, const TRecord& b) { return a.sequence < b.sequence; });
  return out;
}

inline const TRecord* Find(const std::vector<TRecord>& records, const std::string& message) {
  for (const TRecord& r : records)
    if (r.message == message) return &r;
  return nullptr;
}

// The messages of `records`, one a line, for failure output.
inline std::string Messages(const std::vector<TRecord>& records) {
  std::string out;
  for (const TRecord& r : records) out += "  [" + r.procedure + "] " + r.message + "\n";
  return out;
}

// Empty when `expected` occurs in order (not necessarily adjacent) among the
// records' messages; else the first one missing.
inline std::string MissingInOrder(const std::vector<TRecord>& records, const std::vector<std::string>& expected) {
  std::size_t at = 0;
  for (const std::string& want : expected) {
    while (at < records.size() && records[at].message != want) ++at;
    if (at == records.size()) return want;
    ++at;
  }
  return {};
}

// Waits up to `wait` for a record with `message` after `mark`.
inline bool WaitForRecord(int mark, const std::string& message,
                          std::chrono::milliseconds wait = std::chrono::seconds(10)) {
  auto until = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < until) {
    if (Find(RecordsSince(mark), message)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace tamlix::direct::testing
