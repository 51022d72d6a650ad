// The stand-in's two exports. Each runs inside one guard that turns every
// failure into False with Code and Msg; nothing escapes into the program.
#include <cstring>
#include <string>

#include "MasterSession.h"
#include "platform/ExeDir.h"

namespace {

void Fail(TMasterError* err, int32_t code, const std::string& text) {
  if (!err) return;
  err->Code = code;
  const size_t n = std::min<size_t>(text.size(), sizeof err->Msg.Chars);
  err->Msg.Length = static_cast<uint8_t>(n);
  std::memcpy(err->Msg.Chars, text.data(), n);
}

template <class F>
TamlixBool Guard(TMasterError* err, F&& body) {
  try {
    body();
    return 1;
  } catch (const tamlix::master::EMaster& e) {
    Fail(err, e.Code(), e.what());
  } catch (const std::exception& e) {
    Fail(err, tamlix::master::kFailCode, e.what());
  } catch (...) {
    Fail(err, tamlix::master::kFailCode, "Unknown error");
  }
  return 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) TamlixBool Master_Initialize(const char* Session, void* Callback1,
                                                                    void* Callback2, int32_t, TMasterError* Err) {
  return Guard(Err, [&] {
    tamlix::master::Initialize(tamlix::platform::ExecutableDirectory(), Session, Callback1, Callback2);
  });
}

__attribute__((visibility("default"))) TamlixBool Master_ProcessData(const char*, uintptr_t Data, int32_t, int32_t,
                                                                     TMasterError* Err) {
  return Guard(Err, [&] { tamlix::master::ProcessData(Data); });
}

}  // extern "C"
