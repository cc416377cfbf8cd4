/* A host application written in C, as one for the Windows library would be:
 * it loads the built shared library with dlopen, resolves every export by
 * name and drives it against the simulator program on a pseudo-terminal.
 *
 *   q583_host MODE LIBRARY SIMULATOR
 *
 * MODE session: sign-on, one conversion, a scan of a few seconds, end of
 *               scan, unload; the scan log carries its trailer.
 * MODE unload:  unload while a scan runs: the scan log gets no trailer and
 *               the instrument gets no stop command (it goes on scanning).
 * MODE exit:    the process exits while a scan runs and the library is
 *               still loaded; it must end cleanly.
 * Exit status 0 when every check passed. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "export_names.h"

static pid_t gSimPid = -1;
static char gPty[512];
static char gTracePath[1100];
static char gWorkDir[1024];

static void Fail(const char* what) {
  fprintf(stderr, "q583_host: FAILED: %s\n", what);
  exit(1);
}

static void Check(int condition, const char* what) {
  if (!condition) Fail(what);
}

static void SleepMs(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {
  }
}

static void StopSimulator(void) {
  if (gSimPid > 0) {
    kill(gSimPid, SIGTERM);
    waitpid(gSimPid, NULL, 0);
    gSimPid = -1;
  }
}

/* Runs the simulator with its byte trace on standard error going to a file;
 * its first line of standard output is the pseudo-terminal's path. */
static void StartSimulator(const char* program) {
  int out[2];
  Check(pipe(out) == 0, "pipe");
  snprintf(gTracePath, sizeof gTracePath, "%s/sim-trace.txt", gWorkDir);
  gSimPid = fork();
  Check(gSimPid >= 0, "fork");
  if (gSimPid == 0) {
    int trace = open(gTracePath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out[1], 1);
    if (trace >= 0) dup2(trace, 2);
    close(out[0]);
    execl(program, program, "--trace", (char*)NULL);
    _exit(127);
  }
  close(out[1]);
  FILE* lines = fdopen(out[0], "r");
  Check(lines != NULL && fgets(gPty, sizeof gPty, lines) != NULL, "simulator printed no device path");
  gPty[strcspn(gPty, "\r\n")] = '\0';
  /* The pipe stays open: the simulator may print more. */
}

/* Every export by name; the returned symbol is converted through memcpy, as
 * ISO C has no cast from an object pointer to a function pointer. */
static void* Need(void* lib, const char* name) {
  void* symbol = dlsym(lib, name);
  if (symbol == NULL) {
    fprintf(stderr, "q583_host: export %s not found\n", name);
    Fail("missing export");
  }
  return symbol;
}

typedef uint8_t (*FnVoid)(void);
typedef uint8_t (*FnPortDevice)(uint8_t, const char*);
typedef uint8_t (*FnDouble)(double*);
typedef uint8_t (*FnLogOptions)(uint32_t, uint32_t, uint32_t);
typedef uint8_t (*FnText)(const char*);
typedef uint8_t (*FnScanData)(double*, uint32_t, int32_t*, int32_t*, uint8_t*);
typedef int(*BoxHandler)(const char*, const char*, uint32_t);
typedef uint8_t (*FnSetBox)(BoxHandler);

struct Library {
  void* handle;
  FnVoid InitDev, StartScan, EndScan, CheckRun;
  FnPortDevice SetCOMportDevice;
  FnDouble GetOneConversion;
  FnLogOptions SetDataLogOptions;
  FnText SetExperimentName;
  FnScanData GetScanDataDbl;
  FnSetBox SetMessageBoxHandler;
};

static int AnswerBox(const char* text, const char* caption, uint32_t style) {
  fprintf(stderr, "q583_host: message box [%s] %s (style 0x%x)\n", caption, text, (unsigned)style);
  return 1;
}

static void Load(struct Library* lib, const char* path) {
  void* symbol;
  int i;
  lib->handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (lib->handle == NULL) {
    fprintf(stderr, "q583_host: %s\n", dlerror());
    Fail("dlopen");
  }
  for (i = 0; i < kQ583ExportCount; ++i) (void)Need(lib->handle, kQ583Exports[i]);
  symbol = Need(lib->handle, "EX_InitDev");
  memcpy(&lib->InitDev, &symbol, sizeof symbol);
  symbol = Need(lib->handle, "EX_StartScan");
  memcpy(&lib->StartScan, &symbol, sizeof symbol);
  symbol = Need(lib->handle, "EX_EndScan");
  memcpy(&lib->EndScan, &symbol, sizeof symbol);
  symbol = Need(lib->handle, "EX_CheckRun");
  memcpy(&lib->CheckRun, &symbol, sizeof symbol);
  symbol = Need(lib->handle, "EX_SetCOMportDevice");
  memcpy(&lib->SetCOMportDevice, &symbol, sizeof symbol);
  symbol = Need(lib->handle, "EX_GetOneConversion");
  memcpy(&lib->GetOneConversion, &symbol, sizeof symbol);
  symbol = Need(lib->handle, "EX_SetDataLogOptions");
  memcpy(&lib->SetDataLogOptions, &symbol, sizeof symbol);
  symbol = Need(lib->handle, "EX_SetExperimentName");
  memcpy(&lib->SetExperimentName, &symbol, sizeof symbol);
  symbol = Need(lib->handle, "EX_GetScanDataDbl");
  memcpy(&lib->GetScanDataDbl, &symbol, sizeof symbol);
  symbol = Need(lib->handle, "EX_SetMessageBoxHandler");
  memcpy(&lib->SetMessageBoxHandler, &symbol, sizeof symbol);
}

/* Reads the first scan log file of the working directory. */
static char* ReadScanLog(void) {
  static char text[1 << 20];
  DIR* dir = opendir(".");
  struct dirent* entry;
  char name[512] = "";
  FILE* f;
  size_t n;
  Check(dir != NULL, "opendir");
  while ((entry = readdir(dir)) != NULL)
    if (strncmp(entry->d_name, "ScanLog_", 8) == 0) snprintf(name, sizeof name, "%s", entry->d_name);
  closedir(dir);
  Check(name[0] != '\0', "no scan log file");
  f = fopen(name, "rb");
  Check(f != NULL, "scan log unreadable");
  n = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  text[n] = '\0';
  return text;
}

static int CountLines(const char* text) {
  int lines = 0;
  for (; *text; ++text) lines += *text == '\n';
  return lines;
}

static void SignOnAndStartScan(struct Library* lib) {
  double millivolts = 0.0;
  Check(lib->SetMessageBoxHandler(&AnswerBox) == 1, "EX_SetMessageBoxHandler");
  Check(lib->SetCOMportDevice(0, gPty) == 1, "EX_SetCOMportDevice");
  Check(lib->InitDev() == 1, "EX_InitDev");
  Check(lib->GetOneConversion(&millivolts) == 1, "EX_GetOneConversion");
  Check(lib->SetDataLogOptions(3, 0, 0) == 1, "EX_SetDataLogOptions");
  Check(lib->SetExperimentName("host session") == 1, "EX_SetExperimentName");
  Check(lib->StartScan() == 1, "EX_StartScan");
}

/* Waits until the scan log holds the header and a few data lines. */
static void WaitForLoggedScans(int scans) {
  int waited;
  for (waited = 0; waited < 10000; waited += 50) {
    if (CountLines(ReadScanLog()) >= 1 + scans) return;
    SleepMs(50);
  }
  Fail("the scan log did not grow");
}

/* Whether the simulator received a stop command (0x8A) after the last scan
 * start command (0x89) that it received. */
static int StopReceivedAfterStart(void) {
  FILE* f = fopen(gTracePath, "r");
  char line[256];
  int started = 0, stopped = 0;
  Check(f != NULL, "no simulator trace");
  while (fgets(line, sizeof line, f) != NULL) {
    if (strstr(line, " RX 0x89") != NULL) started = 1, stopped = 0;
    else if (started && strstr(line, " RX 0x8A") != NULL) stopped = 1;
  }
  fclose(f);
  Check(started, "the trace shows no scan start");
  return stopped;
}

/* Whether frames still arrive on the line: the instrument is scanning. */
static int StillScanning(void) {
  int fd = open(gPty, O_RDWR | O_NOCTTY | O_NONBLOCK);
  struct termios raw;
  unsigned char buffer[256];
  int frames = 0, waited;
  Check(fd >= 0, "cannot reopen the line");
  if (tcgetattr(fd, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
  }
  tcflush(fd, TCIFLUSH);
  for (waited = 0; waited < 3000 && frames < 2; waited += 100) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      ssize_t n = read(fd, buffer, sizeof buffer), i;
      for (i = 0; i < n; ++i) frames += buffer[i] == 0xF0;
    }
  }
  close(fd);
  return frames >= 2;
}

static int Session(const char* library) {
  struct Library lib;
  double values[4096];
  int32_t returned = 0, unread = 0, total = 0;
  uint8_t running = 0;
  int waited;
  Load(&lib, library);
  SignOnAndStartScan(&lib);
  for (waited = 0; waited < 3000; waited += 100) {
    SleepMs(100);
    Check(lib.GetScanDataDbl(values, 64, &returned, &unread, &running) == 1, "EX_GetScanDataDbl");
    Check(returned >= 0 && returned <= 64, "scans returned out of range");
    total += returned;
  }
  Check(total > 0, "no scans reached the host");
  Check(running == 1, "the scan did not run");
  Check(lib.EndScan() == 1, "EX_EndScan");
  Check(lib.CheckRun() == 0, "EX_CheckRun after the end");
  Check(dlclose(lib.handle) == 0, "dlclose");
  Check(strstr(ReadScanLog(), "Minimal System Interval:") != NULL, "the scan log has no trailer");
  Check(strstr(ReadScanLog(), "host session") != NULL, "the trailer lacks the description");
  Check(StopReceivedAfterStart(), "the instrument got no stop command");
  printf("session: %d scans\n", (int)total);
  return 0;
}

static int UnloadWhileScanning(const char* library) {
  struct Library lib;
  long size;
  Load(&lib, library);
  SignOnAndStartScan(&lib);
  WaitForLoggedScans(3);
  Check(dlclose(lib.handle) == 0, "dlclose");
  size = (long)strlen(ReadScanLog());
  SleepMs(300);
  Check((long)strlen(ReadScanLog()) == size, "the scan log grew after the unload");
  Check(strstr(ReadScanLog(), "Minimal System Interval:") == NULL, "a trailer was written at unload");
  Check(!StopReceivedAfterStart(), "a stop command was sent at unload");
  Check(StillScanning(), "the instrument stopped scanning");
  printf("unload: log of %ld bytes, no trailer, instrument still scanning\n", size);
  return 0;
}

static int ExitWhileScanning(const char* library) {
  struct Library lib;
  Load(&lib, library);
  SignOnAndStartScan(&lib);
  WaitForLoggedScans(3);
  printf("exit: leaving with the scan running\n");
  fflush(stdout);
  exit(0);
}

static void RemoveWorkDir(void) {
  char command[1200];
  if (getenv("Q583_KEEP_TEST_DIRS") != NULL) return;
  snprintf(command, sizeof command, "rm -rf '%s'", gWorkDir);
  if (system(command) != 0) fprintf(stderr, "q583_host: could not remove %s\n", gWorkDir);
}

int main(int argc, char** argv) {
  const char* tmp = getenv("TMPDIR");
  if (argc != 4) {
    fprintf(stderr, "usage: q583_host session|unload|exit LIBRARY SIMULATOR\n");
    return 2;
  }
  snprintf(gWorkDir, sizeof gWorkDir, "%s/q583-host-XXXXXX", tmp != NULL ? tmp : "/tmp");
  Check(mkdtemp(gWorkDir) != NULL, "mkdtemp");
  Check(chdir(gWorkDir) == 0, "chdir");
  /* Registered before the library is loaded, so these run after the
   * library's own exit work. */
  atexit(RemoveWorkDir);
  atexit(StopSimulator);
  StartSimulator(argv[3]);
  if (strcmp(argv[1], "session") == 0) return Session(argv[2]);
  if (strcmp(argv[1], "unload") == 0) return UnloadWhileScanning(argv[2]);
  if (strcmp(argv[1], "exit") == 0) return ExitWhileScanning(argv[2]);
  Fail("unknown mode");
  return 1;
}
