// The library's load and unload: a static object whose constructor runs at
// dlopen (or at a linked host's start) and whose destructor runs at dlclose
// (or at exit, also in a forked child of the host; see LibraryUnload for
// what each case frees). Only the shared library has it; tests call
// LibraryLoad and LibraryUnload themselves.
#include "UnitCoreDataModule.h"

namespace {

struct TCoreLibrary {
  TCoreLibrary() { tamlix::core::LibraryLoad(); }
  ~TCoreLibrary() { tamlix::core::LibraryUnload(); }
};

TCoreLibrary g_library;

}  // namespace
