// MasterSession: the stand-in's one session per process. It reads the
// session's type and options from "Brindlemoss.INI" and the switch from
// "TamlixTCP.INI" in the directory it is given, starts the session through
// the core (InitializeCore), and serves it by type:
//   direct (2): claims handed in are sent with SendData; each reply goes to
//     Callback1 (a TReceiveCallback);
//   serial (3): claims framed STX..ETX are read from the serial line on a
//     thread of its own, reported through Callback1 and sent; each reply is
//     written back to the line and reported through Callback2;
//   file (4): once started, a thread looks at File_Source every File_Freq
//     milliseconds; a claim there is taken out (renamed to
//     "<File_Source>.sending") before it is sent, reported as event 0 once
//     it has gone out, and its reply written to File_Dest (event 1). The claim is sent once: once
//     answered, its work copy goes whether or not File_Dest took the reply;
//     without a reply it is set aside as "<File_Source>.unanswered" (".2",
//     ...), never sent again by itself. A work copy left by an earlier run
//     is set aside too. A claim that could not be sent at all (no
//     connection) is tried again at a calm pace.
// Claims go through the core one at a time, whichever thread hands them
// in: a claim that comes while another is in flight is sent once that one
// is answered or given up (the core's time-out and two seconds). Each reply
// goes back where its claim came from: a file's to File_Dest, a line's to
// the line and Callback2; one handed in through ProcessData to the
// session's receive callback (direct: Callback1 with the text; serial:
// Callback2; file: Callback1 with event 1, as its Receive pane shows).
// Replies arrive on the core's reply worker; callbacks are called from the
// stand-in's threads and the core's worker, never with a lock held. What
// goes wrong in a running session (a reply not stored, a claim set aside)
// is written to the debug ring under Module "TamlixMaster".
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "SerialLine.h"
#include "tamlix/TamlixMaster.h"

namespace tamlix::master {

// A failure with the code and text that go into TMasterError.
class EMaster : public std::runtime_error {
 public:
  EMaster(int32_t code, const std::string& text) : std::runtime_error(text), code_(code) {}
  int32_t Code() const { return code_; }

 private:
  int32_t code_;
};

inline constexpr int32_t kFailCode = -1;

struct TSessionSettings {
  int32_t SessionType = 0;
  TSerialOptions Serial;
  std::string FileSource;
  std::string FileDest;
  int32_t FileFreq = 1000;  // milliseconds
  std::string Address;
  int32_t Port = 0;
  uint32_t TimeOut = 1000;  // milliseconds
  int32_t Headerlength = 0;
  int32_t DefaultHeader = 0;
};

// Reads both files in `dir` (ending with "/"). Throws EMaster when the
// session's section is absent or its type is not a whole number.
TSessionSettings ReadSessionSettings(const std::string& dir, const std::string& session);

// Starts (or restarts) the process's session. Throws EMaster on failure.
void Initialize(const std::string& dir, const char* session, void* callback1, void* callback2);
// Data == 1: start automatic file processing (file sessions only);
// otherwise Data is the address of a NUL-terminated claim to send. Returns
// once the claim is sent (after the one in flight); its reply comes later.
void ProcessData(uintptr_t data);
// Stops and joins the session's threads; the session keeps no line open.
void Stop() noexcept;

}  // namespace tamlix::master
