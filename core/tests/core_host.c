/* A small host program for the load and unload rules: it loads the library
 * named by its first argument with dlopen and runs the commands that follow,
 * one line of output per command:
 *   init:SESSION    InitializeCore(SESSION) -> "init SESSION <result> <InUse>"
 *   exists:NAME     "exists NAME 0|1" for a file in this program's directory
 *   port:N          later starts go to 127.0.0.1:N
 *   timeout:MS      later starts wait MS milliseconds for a reply
 *   send:TEXT       SendData(TEXT) -> "send <result>"
 *   unload          dlclose
 * Plain C, built from the public header alone. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tamlix/TamlixCore.h"

typedef TamlixBool (*InitializeCoreFn)(const char*, TReceiveCallback, const TTCPIPSettings*, TTimeNotifyEvent,
                                       int32_t*);
typedef TamlixBool (*SendDataFn)(const char*, TCoreStatus*);

static void OnReply(const char* text) { printf("reply %s\n", text); fflush(stdout); }

static void OwnDirectory(char* out, size_t size) {
  ssize_t n = readlink("/proc/self/exe", out, size - 1);
  if (n < 0) n = 0;
  out[n] = '\0';
  char* slash = strrchr(out, '/');
  if (slash) slash[1] = '\0';
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: core_host LIBRARY [init:SESSION | exists:NAME | unload]...\n");
    return 2;
  }
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    fprintf(stderr, "dlopen: %s\n", dlerror());
    return 3;
  }
  InitializeCoreFn init = (InitializeCoreFn)dlsym(lib, "InitializeCore");
  SendDataFn send = (SendDataFn)dlsym(lib, "SendData");
  if (!init || !send) return 4;
  char dir[4096];
  OwnDirectory(dir, sizeof dir);

  TTCPIPSettings settings;
  memset(&settings, 0, sizeof settings);
  settings.TimeOut = 1000;
  for (int i = 2; i < argc; ++i) {
    const char* cmd = argv[i];
    if (strncmp(cmd, "init:", 5) == 0) {
      int32_t in_use = -1;
      TamlixBool ok = lib ? init(cmd + 5, OnReply, &settings, NULL, &in_use) : 0;
      printf("init %s %d %d\n", cmd + 5, ok, (int)in_use);
    } else if (strncmp(cmd, "exists:", 7) == 0) {
      char path[8192];
      snprintf(path, sizeof path, "%s%s", dir, cmd + 7);
      printf("exists %s %d\n", cmd + 7, access(path, F_OK) == 0);
    } else if (strncmp(cmd, "port:", 5) == 0) {
      settings.Port = atoi(cmd + 5);
      settings.Address.Length = 9;
      memcpy(settings.Address.Chars, "127.0.0.1", 9);
    } else if (strncmp(cmd, "timeout:", 8) == 0) {
      settings.TimeOut = (uint32_t)strtoul(cmd + 8, NULL, 10);
    } else if (strncmp(cmd, "send:", 5) == 0) {
      TCoreStatus status;
      memset(&status, 0, sizeof status);
      printf("send %d\n", lib ? send(cmd + 5, &status) : 0);
    } else if (strcmp(cmd, "unload") == 0) {
      if (lib && dlclose(lib) != 0) return 5;
      lib = NULL;
      printf("unloaded\n");
    } else {
      fprintf(stderr, "unknown command %s\n", cmd);
      return 2;
    }
    fflush(stdout);
  }
  return 0;
}
