// The writer side of the shared debug ring. Every module that writes records
// opens the ring once at start-up (OpenDebugShared), writes from any thread
// (WriteDebugRecord) and closes it once at unload (CloseDebugShared).
//
// The ring lives while one process has it open; the last closer removes its
// name, so the next opener starts from zeros. No lock is taken between
// writers: readers must tolerate torn records and duplicate numbers.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "tamlix/DebugRecord.h"

namespace tamlix {

// A failed opening: "Unable to create file mapping, Error: <errno>" or
// "Unable to map view of file, Error: <errno>".
class EDebugShared : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A text argument of the writer: a null pointer is the empty text.
class DebugText {
 public:
  DebugText() = default;
  DebugText(const char* s) : view_(s ? std::string_view(s) : std::string_view()) {}  // NOLINT
  DebugText(const std::string& s) : view_(s) {}                                       // NOLINT
  DebugText(std::string_view s) : view_(s) {}                                         // NOLINT
  std::string_view view() const { return view_; }

 private:
  std::string_view view_;
};

// Opens or creates the ring and maps it; a new ring is all zeros, its space
// reserved, so a full /dev/shm fails here ("Error: 28"), never at a record.
// An existing object is used only when it is a regular object of the ring's
// size, this user's (effective id), with no access for group or others; one
// that its creator is still sizing is waited for. An existing ring that no
// process holds (its last user was killed) is removed and made anew, from
// zeros. Every wait is bounded (about a second in all). When the ring's last
// user removes it during the opening, the opening starts again (a bounded
// number of times). Throws EDebugShared. Opening twice without a close is a
// no-op, also in a forked child, which shares the opener's ring.
void OpenDebugShared();
// Unmaps and closes; removes the ring's name when this was its last user.
// In a forked child of the opener it does nothing: the ring stays the
// opener's.
void CloseDebugShared() noexcept;
bool DebugSharedIsOpen() noexcept;

// Appends one record after the newest slot of the ring. Texts longer than
// 255 characters are cut; Data (absent or NUL-terminated) is cut at 6144
// characters, and at its first NUL. Never fails, never blocks; a no-op while
// the ring is not open.
void WriteDebugRecord(DebugText Module, DebugText Message, DebugText Procedure, DebugText Session,
                      DebugText Detail, DebugText Data = {}) noexcept;

// The mapped ring, or null while closed. For tests and the benchmark.
TDebugRecord* DebugSharedView() noexcept;

// Tests use a ring name of their own so that they never meet a live ring.
// Call before OpenDebugShared.
void SetDebugSharedNameForTesting(const char* name);

}  // namespace tamlix
