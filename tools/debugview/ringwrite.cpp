// ringwrite: writes one debug record per message into the shared ring, for
// the demo and for trying the viewer. Usage: ringwrite SESSION MESSAGE...
#include <cstdio>

#include "UnitDebugSys.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: ringwrite SESSION MESSAGE...\n", stderr);
    return 2;
  }
  try {
    tamlix::OpenDebugShared();
  } catch (const tamlix::EDebugShared& e) {
    std::fprintf(stderr, "ringwrite: %s\n", e.what());
    return 1;
  }
  for (int i = 2; i < argc; ++i) tamlix::WriteDebugRecord("ringwrite", argv[i], "ringwrite.main", argv[1], "", "");
  tamlix::CloseDebugShared();
  return 0;
}
