#include "UnitTamlixDirect.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>

#include "UnitDebugSys.h"
#include "settings/IniFile.h"
#include "tamlix/TamlixDirect.h"

namespace tamlix::direct {
namespace {

constexpr std::string_view kDefaultHeader = "011brindlemoss";
constexpr const char* kSection = "Global TCP/IP Data";
constexpr const char* kLoadProc = "UnitTamlixDirect.Load_INI";
constexpr const char* kReadProc = "UnitTamlixDirect.ReadTCPIP";
constexpr const char* kReadFailProc = "UnitTamlixDirect.ReadTCP";
constexpr const char* kInitProc = "InitializeDirect";

// Set on the host's thread, read on the core's worker thread.
std::atomic<int32_t> g_headerLengthFlag{0};
std::atomic<int32_t> g_defaultHeaderFlag{0};
std::atomic<TReceiveCallback> g_receiveCallback{nullptr};
int32_t g_coreError = 0;  // host's thread only

std::mutex g_sessionMutex;
std::string g_sessionName;  // GUARDED_BY(g_sessionMutex)

std::mutex g_settingsMutex;
TTCPIPSettings g_tcpSettings{};  // GUARDED_BY(g_settingsMutex)

std::string First255(const char* s) {
  if (!s) return {};
  return std::string(s, strnlen(s, 255));
}

void SetSessionName(std::string name) {
  std::lock_guard<std::mutex> lock(g_sessionMutex);
  g_sessionName = std::move(name);
}

// Where the socket layer would be started; POSIX sockets need no start-up.
int SocketStartup() noexcept { return 0; }

}  // namespace

std::string ShortStringText(const TShortString& s) { return std::string(s.Chars, s.Length); }

void SetShortString(TShortString& s, std::string_view text) {
  std::size_t n = std::min<std::size_t>(text.size(), sizeof s.Chars);
  s.Length = static_cast<uint8_t>(n);
  std::memcpy(s.Chars, text.data(), n);
}

// --- The claim frame ---

std::string AddDefaultHeader(std::string_view S) {
  std::string out(kDefaultHeader);
  out.append(S);
  return out;
}

std::string AddLengthHeader(std::string_view S) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%04u", static_cast<unsigned>(S.size() % 10000));
  std::string out(1, kSTX);
  out.append(digits, 4);
  out.append(S);
  return out;
}

std::string FrameClaimData(std::string_view S, int32_t HeaderLengthFlag, int32_t DefaultHeaderFlag) {
  const std::size_t prefix = HeaderLengthFlag == 1 ? 5 : 1;
  S.remove_prefix(std::min(prefix, S.size()));
  std::string body = DefaultHeaderFlag == 1 ? AddDefaultHeader(S) : std::string(S);
  return AddLengthHeader(body);
}

std::string FrameClaim(std::string_view Claim, int32_t HeaderLengthFlag, int32_t DefaultHeaderFlag) {
  std::string S(Claim);
  if (S.empty() || S.back() != kETX) S.push_back(kETX);
  return FrameClaimData(S, HeaderLengthFlag, DefaultHeaderFlag);
}

// --- Library state ---

void LoadDirect() noexcept {
  if (SocketStartup() != 0)
    WriteDebugRecord(kModuleDll, "No valid winsock available", "SocketConnect/WSAStartup", "", "");
}

std::string SessionName() {
  std::lock_guard<std::mutex> lock(g_sessionMutex);
  return g_sessionName;
}

int32_t HeaderLengthFlag() noexcept { return g_headerLengthFlag.load(); }
int32_t DefaultHeaderFlag() noexcept { return g_defaultHeaderFlag.load(); }
int32_t CoreError() noexcept { return g_coreError; }

void ResetDirectStateForTesting() {
  g_headerLengthFlag = 0;
  g_defaultHeaderFlag = 0;
  g_receiveCallback = nullptr;
  g_coreError = 0;
  SetSessionName({});
  std::lock_guard<std::mutex> lock(g_settingsMutex);
  g_tcpSettings = TTCPIPSettings{};
}

// --- Asynchronous road ---

bool InitializeDirect(const char* Session, const TTCPIPSettings* Settings, TReceiveCallback Callback) {
  // Without a record there are no flags to copy; the core refuses it below.
  if (Settings) {
    g_headerLengthFlag = Settings->Headerlength;
    g_defaultHeaderFlag = Settings->DefaultHeader;
  }
  const std::string session = First255(Session);
  WriteDebugRecord(kModuleDll, "Begin Direct Initialization", kInitProc, session, "");
  if (Callback) {
    SetReceiveCallback(Callback);
    WriteDebugRecord(kModuleDll, "Set Data Receive Callback Procedure", kInitProc, session, "");
  }
  try {
    SetSessionName(session);
    WriteDebugRecord(kModuleDll, "Attempting to Initialize Core dll", kInitProc, session, "");
    if (::InitializeCore(Session, ::ReceiveData, Settings, nullptr, &g_coreError)) {
      WriteDebugRecord(kModuleDll, "Direct initialization succeeded ", kInitProc, session, "");
      return true;
    }
    WriteDebugRecord(kModuleDll, "Failure to Initialize Core", "Initialize Serial", session, "");
    throw EDirectTrans("Core Initialization Failure", g_coreError);
  } catch (const std::exception&) {
    WriteDebugRecord(kModuleDll, "Direct initialization failed ", kInitProc, session, "");
    return false;
  }
}

void SetReceiveCallback(TReceiveCallback Callback) noexcept { g_receiveCallback = Callback; }

void ReceiveData(const char* Data) {
  TReceiveCallback callback = g_receiveCallback.load();
  const std::string reply = First255(Data);
  if (callback) {
    WriteDebugRecord(kModuleDll, "Callback Executed", SessionName(), "", reply);
    callback(Data);
  } else {
    WriteDebugRecord(kModuleDll, "Warning:Receive Data Callback not Set", SessionName(), "", reply);
  }
}

bool processData(const char* Data, TCoreStatus* Status) {
  try {
    return ::SendData(Data, Status) != 0;
  } catch (...) {
    WriteDebugRecord(kModuleDll, "Error Processing Data", SessionName(), "", First255(Data));
    return false;
  }
}

bool processDataTest(const char* Data, TCoreStatus* Status) {
  const std::string claim = Data ? std::string(Data) : std::string();
  const std::string frame = FrameClaim(claim, g_headerLengthFlag.load(), g_defaultHeaderFlag.load());
  if (frame.size() > kMaxFrame) {
    // Neither the send buffer nor the four length digits can hold it: refuse
    // it whole rather than send a cut or mislabelled claim.
    WriteDebugRecord(kModuleDll, "Claim Too Long - Framed Size = " + std::to_string(frame.size()), SessionName(),
                     "", First255(Data));
    if (Status) {
      Status->ErrorCode = -1;
      Status->ErrorFlag = 1;
      std::snprintf(Status->ErrorText, sizeof Status->ErrorText, "%s", "Claim too long for the claim frame");
    }
    return false;
  }
  try {
    char buffer[kSendBufferSize];
    std::memcpy(buffer, frame.c_str(), frame.size() + 1);
    return ::SendData(buffer, Status) != 0;
  } catch (...) {
    WriteDebugRecord(kModuleDll, "Error Processing Data", SessionName(), "", First255(Data));
    return false;
  }
}

// --- TCP settings loading ---

void ReadTCPIP(std::string_view Directory, TTCPIPSettings& Settings) noexcept {
  std::optional<TIniFile> ini;
  try {
    ini.emplace(std::string(Directory) + "TamlixTCP.INI");
  } catch (...) {
    try {
      WriteDebugRecord(kModuleShort, "Error Reading Creating INI Object", kReadFailProc, SessionName(), "");
    } catch (...) {
    }
    return;
  }
  try {
    WriteDebugRecord(kModuleDLL, "Retrieving TCP/IP Settings: " + std::string(Directory), kReadProc, "", "");
    const int32_t use = ini->ReadInteger(kSection, "Use", 0);
    if (use == 0 || use == 1) {
      const bool primary = use == 0;
      Settings.Port = ini->ReadInteger(kSection, primary ? "Port" : "SecPort", 0);
      SetShortString(Settings.Address, ini->ReadString(kSection, primary ? "Address" : "SecAddress", ""));
      Settings.TimeOut = static_cast<uint32_t>(ini->ReadInteger(kSection, "TimeOut", 1000));
      Settings.Headerlength = ini->ReadInteger(kSection, "Headerlength", 0);
      Settings.DefaultHeader = ini->ReadInteger(kSection, "DefaultHeader", 0);
      if (primary)
        WriteDebugRecord(kModuleDLL,
                         "IP: " + ShortStringText(Settings.Address) + " Port: " + std::to_string(Settings.Port),
                         kReadProc, "", "");
    }
  } catch (...) {
    try {
      WriteDebugRecord(kModuleShort, "ERROR Reading TCP INI", kReadFailProc, SessionName(), "");
    } catch (...) {
    }
  }
}

int32_t Load_ini(const char* Directory) {
  TTCPIPSettings fresh{};
  ReadTCPIP(Directory ? std::string_view(Directory) : std::string_view(), fresh);
  {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    g_tcpSettings = fresh;
  }
  const int32_t result = fresh.Port != 0 ? 1 : 0;
  WriteDebugRecord(kModuleDLL, "TCP INI Load Completed - Result " + std::to_string(result), kLoadProc, SessionName(),
                   "");
  return result;
}

int32_t Load_ini_S(const char* Directory) {
  WriteDebugRecord(kModuleDLL, "StdCall interface load INI from " + std::string(Directory ? Directory : ""), kLoadProc,
                   SessionName(), "");
  return Load_ini(Directory);
}

TTCPIPSettings TcpSettings() {
  std::lock_guard<std::mutex> lock(g_settingsMutex);
  return g_tcpSettings;
}

}  // namespace tamlix::direct
