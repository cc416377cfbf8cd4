/* A host program linked as Visual C++ links one: compiled by clang for the
 * MSVC target and linked by lld-link against Q583_SP.lib, 32-bit with
 * /SAFESEH (the default of x86 projects), with no C runtime.  It imports
 * every function of the header it is built against (link_host_exports.inc,
 * which scripts/test-windows.sh makes from that header), so the loader
 * resolves each one in the DLL before the program starts; then it signs on
 * the simulator on COM1 and takes one conversion of main channel 0's
 * sub-channels 0 (1.25 V) and 1 (-0.5 V).
 *
 * Built against include/ and the build's import library it is the SDK's
 * link test; built against tests/abi/ (the interface as released: header
 * and export list) it stands for a host program of that release, run on
 * each new DLL.  Prints one line per check and "N passed, N failed"; the
 * exit status is the number of failed checks. */
#include "q583_sp.h"

/* kernel32, declared here: there are no SDK headers and no C runtime. */
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long handle);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned int code);

/* The MSVC target's mark of floating-point use; the C runtime defines it. */
int _fltused;

/* Where the table of imports goes, so that none is left out. */
const void* volatile gImported;
static unsigned gPassed;
static unsigned gFailed;

static void Print(const char* text) {
  unsigned long size = 0;
  unsigned long written = 0;
  while (text[size] != 0) ++size;
  WriteFile(GetStdHandle((unsigned long)-11), text, size, &written, 0);
}

static void PrintCount(unsigned n) {
  char digits[12];
  int i = 11;
  digits[i] = 0;
  do {
    digits[--i] = (char)('0' + n % 10);
    n /= 10;
  } while (n != 0);
  Print(digits + i);
}

static void Check(int ok, const char* what) {
  Print(ok ? "PASS " : "FAIL ");
  Print(what);
  Print("\r\n");
  if (ok) ++gPassed; else ++gFailed;
}

static int Converts(uint8_t sub, double millivolts) {
  double mv = 0;
  return EX_SetPolledModeChan(0, sub) == 1 && EX_GetOneConversion(&mv) == 1 && mv > millivolts - 3.0 &&
         mv < millivolts + 3.0;
}

void HostMain(void) {
  const void* const exports[] = {
#include "link_host_exports.inc"
  };
  for (unsigned i = 0; i < sizeof exports / sizeof exports[0]; ++i) gImported = exports[i];
  Check(EX_SetCOMport(0) == 1, "EX_SetCOMport(0): COM1");
  Check(EX_InitDev() == 1, "EX_InitDev: signed on");
  Check(Converts(0, 1250.0), "EX_GetOneConversion 0:0 = 1250 mV");
  Check(Converts(1, -500.0), "EX_GetOneConversion 0:1 = -500 mV");
  Check(EX_ClosePort() == 1, "EX_ClosePort");
  PrintCount(gPassed);
  Print(" passed, ");
  PrintCount(gFailed);
  Print(" failed\r\n");
  ExitProcess(gFailed);
}
