// A master library for the window's tests: each test sets the results and
// the error record it returns, and reads back what the window passed in.
// Built as libTamlixMaster.so in a folder of its own; the tests link it.
// Loaded by the real program, it succeeds and, when TAMLIX_TEST_MASTER_CALLS
// names a file, appends "loaded" when it is loaded and "Master_Initialize "
// followed by the session's bytes at each start, one line each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>


struct TestMasterState {
  // What Master_Initialize does.
  uint8_t initResult = 1;
  bool initFills = false;  // fill Code and Msg below, else leave the record
  int32_t initCode = 0;
  std::string initMsg;
  // What Master_ProcessData does.
  uint8_t processResult = 1;
  bool processFills = false;
  std::string processMsg;
  // Returned in place of a Boolean: the bytes above bit 7 must be ignored.
  uint32_t highBits = 0;

  // What the window passed.
  int initCalls = 0;
  const char* initSession = nullptr;
  void* callback1 = nullptr;
  void* callback2 = nullptr;
  int32_t reserved = -1;
  bool initRecordZero = false;
  int processCalls = 0;
  std::vector<uintptr_t> processData;     // 1, or the claim's address
  std::vector<std::string> processTexts;  // the claim text, when an address
  std::vector<std::string> processMsgIn;  // Msg as handed over
  std::vector<int32_t> processArgs;       // third and fourth arguments
};

extern "C" __attribute__((visibility("default"))) TestMasterState* TestMaster_State();
