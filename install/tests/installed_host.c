/* A host pharmacy program as an integrator builds it: only the installed
 * headers and the flags that pkg-config gives. It sends one claim by each
 * road and prints each reply on a line of its own.
 * Usage: installed_host SETTINGS-DIR PORT
 *   SETTINGS-DIR (ending in '/') holds the "TamlixTCP.INI" for the
 *   synchronous road; the asynchronous road goes to 127.0.0.1:PORT.
 * Exit status 0 when both replies came, 1 otherwise. */
#define _POSIX_C_SOURCE 200809L  /* nanosleep */

#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <tamlix/TamlixDirect.h>

static char g_reply[4097];     /* written by the callback before g_replied */
static atomic_int g_replied;

static void OnReply(const char* data) {
  snprintf(g_reply, sizeof g_reply, "%s", data);
  atomic_store(&g_replied, 1);
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fputs("usage: installed_host SETTINGS-DIR PORT\n", stderr);
    return 1;
  }

  if (Load_ini(argv[1], 0) != 1) {
    fprintf(stderr, "Load_ini(%s) found no switch\n", argv[1]);
    return 1;
  }
  char response[4097];
  memset(response, 0, sizeof response);
  const int32_t written = 0;
  int32_t received = 0;
  if (Process_claim("SYNC CLAIM", &written, response, &received) != 1 || received <= 0) {
    fputs("Process_claim brought no reply\n", stderr);
    return 1;
  }
  printf("sync: %s\n", response);

  TTCPIPSettings settings;
  memset(&settings, 0, sizeof settings);
  settings.Port = atoi(argv[2]);
  settings.Address.Length = (uint8_t)strlen("127.0.0.1");
  memcpy(settings.Address.Chars, "127.0.0.1", settings.Address.Length);
  settings.TimeOut = 30000;
  if (!InitializeDirect("installedhost", &settings, 0, OnReply)) {
    fputs("InitializeDirect refused the session\n", stderr);
    return 1;
  }
  TCoreStatus status;
  memset(&status, 0, sizeof status);
  if (!processDataTest("\002ASYNC CLAIM\003", &status)) {
    fprintf(stderr, "processDataTest: %.254s\n", status.ErrorText);
    return 1;
  }
  const struct timespec step = {0, 50 * 1000 * 1000};
  for (int i = 0; i < 1200 && !atomic_load(&g_replied); ++i) nanosleep(&step, NULL);
  if (!atomic_load(&g_replied)) {
    fputs("no reply through the callback\n", stderr);
    return 1;
  }
  printf("async: %s\n", g_reply);
  return 0;
}
