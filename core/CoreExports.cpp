// The export table. Every export runs its body inside Guard, so nothing but
// its result ever reaches the host, and with the thread's cancellation off.
// The exports that touch the core's state come in through the export gate
// (ExportGate.h) and fail at once after the unload has begun; those that
// touch the session or the connection also run under the core's export
// lock (ExportLock.h), so calls from several host threads take turns.
// ClearForRead and TimeTest touch nothing.
#pragma GCC visibility push(default)
#include "tamlix/TamlixCore.h"
#pragma GCC visibility pop

#include "platform/ExportGuard.h"

#include <string>

#include "CoreConnection.h"
#include "CoreState.h"
#include "ExportGate.h"
#include "SocketTimerThread.h"
#include "UnitCoreDataModule.h"

using tamlix::platform::AsBool;
using tamlix::platform::Guard;

using namespace tamlix::core;

namespace {

// Runs `body` as an export that takes turns with the others. The body
// asserts the export lock (CoreExportLock.AssertHeld()) for the analysis.
template <class Result, class Body>
Result Serialised(Result failure, Body&& body) {
  return Guard<Result>(failure, [&] {
    TGatePass pass;
    if (!pass) return failure;
    TExportLockHold hold(CoreExportLock);
    return body();
  });
}

}  // namespace

extern "C" {

void ResetSerial(void) {
  Serialised(0, [] {
    CoreExportLock.AssertHeld();
    tamlix::core::ResetSerial();
    return 0;
  });
}

void ClearForRead(void) {}

TamlixBool SendData(const char* Data, TCoreStatus* Status) {
  return Serialised<TamlixBool>(0, [&] {
    CoreExportLock.AssertHeld();
    return AsBool(tamlix::core::SendData(Data, Status));
  });
}

void SetTimeNotifyEvent(TTimeNotifyEvent Event) {
  TGatePass pass;
  if (pass) tamlix::core::SetTimeNotifyEvent(Event);
}

TamlixBool MakeSocketConnection(int32_t Port, const char* Host) {
  return Serialised<TamlixBool>(0, [&] {
    // A worker still waiting on the present socket must be done with it
    // before SocketHandle changes; the socket that an earlier call made (and
    // any SSL objects on it) goes, without a close sequence, before the new one.
    StopWorkersForClose();
    ReleaseConnectionQuietly();
    return AsBool(tamlix::core::MakeSocketConnection(Port, Host ? std::string(Host) : std::string()));
  });
}

void TimeTest(void) {}

TamlixBool Init_SSL_Connect(void) {
  return Serialised<TamlixBool>(0, [] {
    StopWorkersForClose();
    // The set-up would overwrite what an earlier one left: never leak it.
    ReleaseLeftoverSSL();
    // The handshake ends with the deadline of the last connect.
    return AsBool(tamlix::core::Init_SSL_Connect());
  });
}

TamlixBool InitializeCore(const char* Session, TReceiveCallback ReadCallback, const TTCPIPSettings* Settings,
                          TTimeNotifyEvent TimerCallback, int32_t* InUse) {
  return Serialised<TamlixBool>(0, [&] {
    CoreExportLock.AssertHeld();
    return AsBool(tamlix::core::InitializeCore(Session, ReadCallback, Settings, TimerCallback, InUse));
  });
}

}  // extern "C"
