// The library's load and unload: a static object whose constructor runs at
// dlopen (or at a linked host's start) and whose destructor runs at dlclose
// (or at exit). Only the shared library has it; in-process tests open the
// ring and call LoadDirect themselves.
#include "UnitDebugSys.h"
#include "UnitTamlixDirect.h"

namespace {

struct TDirectLibrary {
  TDirectLibrary() {
    try {
      tamlix::OpenDebugShared();
    } catch (...) {
      // Without the ring the library works on, unheard: a host must never
      // fail to load because of its diagnostics.
    }
    tamlix::direct::LoadDirect();
  }
  // Also runs in a forked child of the host that calls exit(); the ring's
  // close then does nothing, and the ring stays the parent's.
  ~TDirectLibrary() { tamlix::CloseDebugShared(); }
};

TDirectLibrary g_library;

}  // namespace
