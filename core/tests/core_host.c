/* A small host program for the load and unload rules: it loads the library
 * named by its first argument with dlopen and runs the commands that follow,
 * one line of output per command:
 *   init:SESSION    InitializeCore(SESSION) -> "init SESSION <result> <InUse>"
 *   exists:NAME     "exists NAME 0|1" for a file in this program's directory
 *   port:N          later starts go to 127.0.0.1:N
 *   timeout:MS      later starts wait MS milliseconds for a reply
 *   send:TEXT       SendData(TEXT) -> "send <result>"
 *   await:N         waits (up to 30 s) until N replies came -> "await N 0|1"
 *   fork-exit       forks a child that ends through exit(), as a helper whose
 *                   exec failed does -> "fork-exit <status>", or "fork-exit
 *                   hung" when it has not ended after 20 s (it is then killed)
 *   inherited       "inherited N": descriptors opened since the start that an
 *                   exec would pass on (not close-on-exec)
 *   pause           "paused", then waits for a line on stdin
 *   unload          dlclose
 * Plain C, built from the public header alone. */
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "tamlix/TamlixCore.h"

typedef TamlixBool (*InitializeCoreFn)(const char*, TReceiveCallback, const TTCPIPSettings*, TTimeNotifyEvent,
                                       int32_t*);
typedef TamlixBool (*SendDataFn)(const char*, TCoreStatus*);

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>

/* Under the leak checker: a forked child's exit cannot free what the
 * parent's threads hold (their thread-local state is in no memory the
 * checker scans in the child), so leaks are checked in the process that
 * started, after every exit handler (this one was registered first, so it
 * runs last), and not in a forked child. */
static pid_t g_started_pid;
__attribute__((visibility("default"))) const char* __lsan_default_options(void) { return "leak_check_at_exit=0"; }
static void CheckLeaksAtExit(void) {
  if (getpid() == g_started_pid) __lsan_do_leak_check();
}
static void CheckLeaksInThisProcessOnly(void) {
  g_started_pid = getpid();
  atexit(CheckLeaksAtExit);
}
#else
static void CheckLeaksInThisProcessOnly(void) {}
#endif

static int g_replies;

static void OnReply(const char* text) {
  printf("reply %s\n", text);
  fflush(stdout);
  __atomic_add_fetch(&g_replies, 1, __ATOMIC_SEQ_CST);
}

static void SleepMs(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, NULL);
}

/* Descriptors open at the start (numbers below 4096). */
static unsigned char g_open_at_start[4096];

/* Calls `visit` with each open descriptor of this process. */
static void EachDescriptor(void (*visit)(int fd, void* arg), void* arg) {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return;
  struct dirent* e;
  while ((e = readdir(dir)) != NULL) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    int fd = atoi(e->d_name);
    if (fd != dirfd(dir)) visit(fd, arg);
  }
  closedir(dir);
}

static void MarkAtStart(int fd, void* arg) {
  (void)arg;
  if (fd < (int)sizeof g_open_at_start) g_open_at_start[fd] = 1;
}

static void CountInheritable(int fd, void* arg) {
  if (fd < (int)sizeof g_open_at_start && g_open_at_start[fd]) return;
  int flags = fcntl(fd, F_GETFD);
  if (flags >= 0 && !(flags & FD_CLOEXEC)) ++*(int*)arg;
}

/* A child that ends through exit(): the library's exit code runs in it. */
static void ForkExit(void) {
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) exit(0);
  if (pid < 0) {
    printf("fork-exit failed\n");
    return;
  }
  int status = 0;
  for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 10) {
    if (waited >= 20000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      printf("fork-exit hung\n");
      return;
    }
    SleepMs(10);
  }
  printf("fork-exit %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

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
  CheckLeaksInThisProcessOnly();
  EachDescriptor(MarkAtStart, NULL);
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
    } else if (strncmp(cmd, "await:", 6) == 0) {
      int want = atoi(cmd + 6), waited = 0;
      while (__atomic_load_n(&g_replies, __ATOMIC_SEQ_CST) < want && waited < 30000) {
        SleepMs(10);
        waited += 10;
      }
      printf("await %d %d\n", want, __atomic_load_n(&g_replies, __ATOMIC_SEQ_CST) >= want);
    } else if (strcmp(cmd, "fork-exit") == 0) {
      ForkExit();
    } else if (strcmp(cmd, "inherited") == 0) {
      int count = 0;
      EachDescriptor(CountInheritable, &count);
      printf("inherited %d\n", count);
    } else if (strcmp(cmd, "pause") == 0) {
      char line[64];
      printf("paused\n");
      fflush(stdout);
      if (!fgets(line, sizeof line, stdin)) return 6;
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
