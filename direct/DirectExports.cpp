// The export table. Every export runs its body inside Guard, so nothing but
// its result ever reaches the host.
#pragma GCC visibility push(default)
#include "tamlix/TamlixDirect.h"
#pragma GCC visibility pop

#include "platform/ExportGuard.h"

#include "DirectExchange.h"
#include "UnitTamlixDirect.h"

using tamlix::platform::AsBool;
using tamlix::platform::Guard;

namespace d = tamlix::direct;

extern "C" {

TamlixBool InitializeDirect(const char* Session, const TTCPIPSettings* Settings, int32_t /*Reserved*/,
                            TReceiveCallback Callback) {
  return Guard<TamlixBool>(0, [&] { return AsBool(d::InitializeDirect(Session, Settings, Callback)); });
}

void SetReceiveCallback(TReceiveCallback Callback) { d::SetReceiveCallback(Callback); }

void ReceiveData(const char* Data) {
  Guard(0, [&] {
    d::ReceiveData(Data);
    return 0;
  });
}

TamlixBool processData(const char* Data, TCoreStatus* Status) {
  return Guard<TamlixBool>(0, [&] { return AsBool(d::processData(Data, Status)); });
}

TamlixBool processDataTest(const char* Data, TCoreStatus* Status) {
  return Guard<TamlixBool>(0, [&] { return AsBool(d::processDataTest(Data, Status)); });
}

int32_t Load_ini(const char* Directory, int32_t /*Reserved*/) {
  return Guard<int32_t>(0, [&] { return d::Load_ini(Directory); });
}

int32_t Load_ini_S(const char* Directory, int32_t /*Reserved*/) {
  return Guard<int32_t>(0, [&] { return d::Load_ini_S(Directory); });
}

int32_t Process_claim(const char* Claim, const int32_t* BytesWritten, char* Response, int32_t* BytesReceived) {
  return Guard<int32_t>(0, [&] { return d::Process_claim(Claim, BytesWritten, Response, BytesReceived); });
}

int32_t Process_claim_S(const char* Claim, const int32_t* BytesWritten, char* Response, int32_t* BytesReceived,
                        int32_t /*Reserved*/) {
  return Guard<int32_t>(0, [&] { return d::Process_claim_S(Claim, BytesWritten, Response, BytesReceived); });
}

}  // extern "C"
