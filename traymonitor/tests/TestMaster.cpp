#include "TestMaster.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The header's prototypes step aside: these definitions return a wider value.
#define Master_Initialize Master_Initialize_Prototype
#define Master_ProcessData Master_ProcessData_Prototype
#include "tamlix/TamlixMaster.h"
#undef Master_Initialize
#undef Master_ProcessData

namespace {

TestMasterState state;

void Record(const std::string& line) {
  const char* path = std::getenv("TAMLIX_TEST_MASTER_CALLS");
  if (!path) return;
  if (std::FILE* f = std::fopen(path, "ab")) {
    std::fwrite(line.data(), 1, line.size(), f);
    std::fputc('\n', f);
    std::fclose(f);
  }
}

[[maybe_unused]] const bool loaded = (Record("loaded"), true);

void Fill(TMasterError* err, int32_t code, const std::string& msg) {
  err->Code = code;
  err->Msg.Length = static_cast<uint8_t>(msg.size());
  std::memcpy(err->Msg.Chars, msg.data(), msg.size());
}

bool IsZero(const TMasterError* err) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(err);
  for (size_t i = 0; i < sizeof *err; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) TestMasterState* TestMaster_State() { return &state; }

// Declared here with a wider result, so a test can set the bits above the Boolean byte.
__attribute__((visibility("default"))) uint32_t Master_Initialize(const char* Session, void* Callback1,
                                                                  void* Callback2, int32_t Reserved,
                                                                  TMasterError* Err) {
  ++state.initCalls;
  Record(std::string("Master_Initialize ") + (Session ? Session : ""));
  state.initSession = Session;
  state.callback1 = Callback1;
  state.callback2 = Callback2;
  state.reserved = Reserved;
  state.initRecordZero = IsZero(Err);
  if (state.initFills) Fill(Err, state.initCode, state.initMsg);
  return state.highBits | state.initResult;
}

__attribute__((visibility("default"))) uint32_t Master_ProcessData(const char* Session, uintptr_t Data,
                                                                   int32_t Arg3, int32_t Arg4,
                                                                   TMasterError* Err) {
  (void)Session;
  ++state.processCalls;
  state.processData.push_back(Data);
  state.processTexts.push_back(Data == 1 ? std::string() : std::string(reinterpret_cast<const char*>(Data)));
  state.processMsgIn.emplace_back(Err->Msg.Chars, Err->Msg.Length);
  state.processArgs.push_back(Arg3);
  state.processArgs.push_back(Arg4);
  if (state.processFills) Fill(Err, 7, state.processMsg);
  return state.highBits | state.processResult;
}
}
