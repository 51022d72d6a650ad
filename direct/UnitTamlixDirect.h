// The direct claim interface's own state and its asynchronous road: the two
// framing flags, the host's reply callback and the session name (written on
// the host's thread, read on the core's reply worker thread, so each is held
// atomically or under a lock); the claim frame; and the loading of the TCP
// settings file into TcpSettings for the synchronous road (DirectExchange.h).
// The export table (DirectExports.cpp) calls these inside its guard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "UnitErrorProcessing.h"
#include "tamlix/TamlixCore.h"

namespace tamlix::direct {

class EDirectTrans : public EUnitErrorProcess {
 public:
  using EUnitErrorProcess::EUnitErrorProcess;
};

inline constexpr char kSTX = '\x02';
inline constexpr char kETX = '\x03';
// processDataTest's send buffer: the framed claim and its NUL.
inline constexpr std::size_t kSendBufferSize = 4100;
inline constexpr std::size_t kMaxFrame = kSendBufferSize - 1;

// Module names as the records carry them.
inline constexpr const char* kModuleDll = "TamlixDirect.dll";
inline constexpr const char* kModuleDLL = "TamlixDirect.DLL";
inline constexpr const char* kModuleShort = "Direct.DLL";
inline constexpr const char* kModuleCore = "TamlixCore.dll";

// --- The claim frame (pure) ---

// "011" + "brindlemoss" + S.
std::string AddDefaultHeader(std::string_view S);
// STX + the length of S in four zero-padded digits + S. S must be at most
// 9999 characters long (the caller checks).
std::string AddLengthHeader(std::string_view S);
// Drops the host's prefix (5 characters when HeaderLengthFlag is exactly 1,
// else 1), inserts the default header when DefaultHeaderFlag is exactly 1,
// then puts the length header in front.
std::string FrameClaimData(std::string_view S, int32_t HeaderLengthFlag, int32_t DefaultHeaderFlag);
// All of processDataTest's framing: appends ETX when the claim is empty or
// does not end in one, then FrameClaimData.
std::string FrameClaim(std::string_view Claim, int32_t HeaderLengthFlag, int32_t DefaultHeaderFlag);

// --- Library state ---

// The load step (after the ring has been opened). Never throws.
void LoadDirect() noexcept;
// The session ID of the last InitializeDirect (at most 255 characters);
// empty before the first. Any thread.
std::string SessionName();
int32_t HeaderLengthFlag() noexcept;
int32_t DefaultHeaderFlag() noexcept;
// The in-use code that InitializeCore left (101: session in use).
int32_t CoreError() noexcept;
// Back to the state of a fresh load: flags 0, no callback, no session name,
// TcpSettings all zero. Tests only.
void ResetDirectStateForTesting();

// --- Asynchronous road ---

bool InitializeDirect(const char* Session, const TTCPIPSettings* Settings, TReceiveCallback Callback);
void SetReceiveCallback(TReceiveCallback Callback) noexcept;
void ReceiveData(const char* Data);
bool processData(const char* Data, TCoreStatus* Status);
bool processDataTest(const char* Data, TCoreStatus* Status);

// --- TCP settings loading ---

// Fills Settings from Directory + "TamlixTCP.INI", section "Global TCP/IP
// Data", choosing the primary or secondary pair by "Use". Never throws: a
// failure writes its record and leaves what was read so far.
void ReadTCPIP(std::string_view Directory, TTCPIPSettings& Settings) noexcept;
// Replaces TcpSettings with what the file gives; 1 when its Port is not 0.
int32_t Load_ini(const char* Directory);
// The same, after one record of its own.
int32_t Load_ini_S(const char* Directory);
// A copy of TcpSettings, taken under its lock. Any thread.
TTCPIPSettings TcpSettings();

// Short-string helpers.
std::string ShortStringText(const TShortString& s);
void SetShortString(TShortString& s, std::string_view text);

}  // namespace tamlix::direct
