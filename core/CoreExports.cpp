// The export table. Every export runs its body inside Guard, so nothing but
// its result ever reaches the host.
#pragma GCC visibility push(default)
#include "tamlix/TamlixCore.h"
#pragma GCC visibility pop

#include "platform/ExportGuard.h"

#include <string>

#include "CoreConnection.h"
#include "CoreState.h"
#include "SocketTimerThread.h"
#include "UnitCoreDataModule.h"

using tamlix::platform::AsBool;
using tamlix::platform::Guard;

using namespace tamlix::core;

extern "C" {

void ResetSerial(void) {
  Guard(0, [] {
    tamlix::core::ResetSerial();
    return 0;
  });
}

void ClearForRead(void) {}

TamlixBool SendData(const char* Data, TCoreStatus* Status) {
  return Guard<TamlixBool>(0, [&] { return AsBool(tamlix::core::SendData(Data, Status)); });
}

void SetTimeNotifyEvent(TTimeNotifyEvent Event) { tamlix::core::SetTimeNotifyEvent(Event); }

TamlixBool MakeSocketConnection(int32_t Port, const char* Host) {
  return Guard<TamlixBool>(0, [&] {
    // A worker still waiting on the present socket must be done with it
    // before SocketHandle changes.
    StopWorkersForClose();
    return AsBool(tamlix::core::MakeSocketConnection(Port, Host ? std::string(Host) : std::string()));
  });
}

void TimeTest(void) {}

TamlixBool Init_SSL_Connect(void) {
  return Guard<TamlixBool>(0, [] {
    StopWorkersForClose();
    // The set-up would overwrite what an earlier one left: never leak it.
    ReleaseLeftoverSSL();
    // The handshake ends with the deadline of the last connect.
    return AsBool(tamlix::core::Init_SSL_Connect(Core().ConnectDeadline));
  });
}

TamlixBool InitializeCore(const char* Session, TReceiveCallback ReadCallback, const TTCPIPSettings* Settings,
                          TTimeNotifyEvent TimerCallback, int32_t* InUse) {
  return Guard<TamlixBool>(0, [&] {
    return AsBool(tamlix::core::InitializeCore(Session, ReadCallback, Settings, TimerCallback, InUse));
  });
}

}  // extern "C"
