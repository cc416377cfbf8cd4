// A Windows host program for Q583_SP.dll, built as 32-bit for the 32-bit DLL
// and as 64-bit for the 64-bit one, run under Wine against the
// instrument simulator (q583-sim) whose pseudo-terminal Wine maps to COM1
// and COM12.  It loads the library as a host application does, with
// LoadLibraryA and GetProcAddress by plain name, and runs a whole session.
//
//   wine_host_test.exe session  DLL   full session; simulator with the inputs
//                                     0:0 = 1.25 V, 0:1 = -0.5 V, 1:0 = 2.0 V
//                                     and digital input 0xA5
//   wine_host_test.exe overflow DLL   receive-queue overflow; simulator
//                                     sending frames as fast as it can
//   wine_host_test.exe messages DLL   a window of the host thread answers
//                                     during a sign-on that waits in vain;
//                                     simulator that never wakes
//   wine_host_test.exe leftovers DLL  line settings left on COM1 by an
//                                     earlier program; simulator with
//                                     0:0 = 1.25 V
//   wine_host_test.exe exit DLL       the process ends (ExitProcess) during a
//                                     fast scan with every log on; simulator
//                                     sending as fast as it can
//   wine_host_test.exe stall DLL      a line that stops taking bytes; the
//                                     script stops the simulator when asked
//   wine_host_test.exe hangup DLL     the line hangs up during a scan; the
//                                     script ends the simulator and starts
//                                     a new one when asked (files in the
//                                     start directory); 0:0 = 1.25 V
//
// Prints one line per check and "N passed, N failed"; exits non-zero when a
// check failed.
#include <windows.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "q583_sp.h"

namespace {

int gPassed = 0;
int gFailed = 0;

bool Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "PASS" : "FAIL", what.c_str());
  std::fflush(stdout);
  (ok ? gPassed : gFailed) += 1;
  return ok;
}

bool Near(double value, double expected, double tolerance) {
  return std::fabs(value - expected) <= tolerance;
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Every function the library exports by name: the 66 of the original
// interface and the thirteen platform extensions.
const char* const kExports[] = {
    "EX_SetDevToDefaultSetup", "EX_SetModel", "EX_GetScanInterval", "EX_GetScanIntervalMinMax",
    "EX_SetToMinScanInterval", "EX_SetToMaxScanInterval", "EX_SetToUserScanInterval",
    "EX_SetDevToIniSetup", "EX_WriteCurrentConfigToIniFile", "EX_GetMultiChanScanChanCodes",
    "EX_SetMultiChanScanChanCodes", "EX_SetSingleChanScanChanCode", "EX_GetSingleChanScanChanCode",
    "EX_GetScanType", "EX_SetScanType", "EX_GetDataLogOptions", "EX_SetDataLogOptions",
    "EX_SetCOMport", "EX_GetCOMport", "EX_SetGain", "EX_GetGain", "EX_SetRemoteAverage",
    "EX_GetRemoteAverage", "EX_SetPolarity", "EX_GetPolarity", "EX_SetFilter", "EX_GetFilter",
    "EX_GetPolledModeChan", "EX_SetRate", "EX_GetRate", "EX_ShowDevSetupInfo_MsgBox",
    "EX_ShowDevSetupInfo_WriteToFile", "DLL_SendPacket", "EX_InitDev", "EX_SendDigout",
    "EX_SendDigoutWScan", "EX_GetDigin", "EX_GetOneConversion", "EX_SystemCalibration",
    "EX_FullScaleCalibration", "EX_OffsetCalibration", "EX_SetDiginScan", "EX_GetDiginWScan",
    "EX_Standby", "EX_Sleep", "EX_SetPolledModeChan", "EX_Reset", "EX_StartScan",
    "EX_StartScan_NoSysCal", "SetDigOutPriorityOption", "EX_GetScanDataDbl", "EX_GetScanDataInt",
    "EX_EndScan", "EX_Run", "EX_Stop", "EX_CheckRun", "EX_SetLengthOfRunMs", "EX_SetLengthOfRunSec",
    "EX_SetRunEndBeepOptions", "EX_StopRunEndBeep", "EX_SetExperimentName", "EX_AddLogFileComment",
    "EX_DoVexDbgNew", "EX_DoScanDebug", "EX_DoDebugNorm", "DllEntryPoint",
    // platform extensions
    "EX_SetMessageBoxHandler", "EX_SetCOMportDevice", "EX_SetBeepHandler", "EX_GetScanOverrunCount",
    "EX_SetIniDirectory", "EX_SetIniWriteEnabled", "EX_ClosePort", "EX_GetErrorType",
    "EX_GetNumberedScanData", "EX_GetRunSummary", "EX_GetRunGaps", "EX_SetScanLogDirectory",
    "EX_SetWireTrace"};
constexpr int kOriginalExports = 66;

template <class F>
F Proc(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The functions the session calls, resolved by plain name.
struct Api {
  decltype(&EX_SetDevToDefaultSetup) SetDevToDefaultSetup;
  decltype(&EX_SetDevToIniSetup) SetDevToIniSetup;
  decltype(&EX_WriteCurrentConfigToIniFile) WriteCurrentConfigToIniFile;
  decltype(&EX_SetIniDirectory) SetIniDirectory;
  decltype(&EX_SetIniWriteEnabled) SetIniWriteEnabled;
  decltype(&EX_GetGain) GetGain;
  decltype(&EX_SetGain) SetGain;
  decltype(&EX_GetFilter) GetFilter;
  decltype(&EX_SetFilter) SetFilter;
  decltype(&EX_GetPolarity) GetPolarity;
  decltype(&EX_GetRemoteAverage) GetRemoteAverage;
  decltype(&EX_SetRemoteAverage) SetRemoteAverage;
  decltype(&EX_GetScanType) GetScanType;
  decltype(&EX_SetScanType) SetScanType;
  decltype(&EX_GetRate) GetRate;
  decltype(&EX_GetScanInterval) GetScanInterval;
  decltype(&EX_GetScanIntervalMinMax) GetScanIntervalMinMax;
  decltype(&EX_SetToUserScanInterval) SetToUserScanInterval;
  decltype(&EX_GetMultiChanScanChanCodes) GetMultiChanScanChanCodes;
  decltype(&EX_SetMultiChanScanChanCodes) SetMultiChanScanChanCodes;
  decltype(&EX_GetDataLogOptions) GetDataLogOptions;
  decltype(&EX_SetDataLogOptions) SetDataLogOptions;
  decltype(&EX_SetCOMport) SetCOMport;
  decltype(&EX_GetCOMport) GetCOMport;
  decltype(&EX_SetCOMportDevice) SetCOMportDevice;
  decltype(&EX_InitDev) InitDev;
  decltype(&EX_SetPolledModeChan) SetPolledModeChan;
  decltype(&EX_GetOneConversion) GetOneConversion;
  decltype(&EX_SendDigout) SendDigout;
  decltype(&EX_GetDigin) GetDigin;
  decltype(&EX_SetDiginScan) SetDiginScan;
  decltype(&EX_GetDiginWScan) GetDiginWScan;
  decltype(&EX_StartScan) StartScan;
  decltype(&EX_GetScanDataDbl) GetScanDataDbl;
  decltype(&EX_GetScanDataInt) GetScanDataInt;
  decltype(&EX_EndScan) EndScan;
  decltype(&EX_CheckRun) CheckRun;
  decltype(&EX_SetExperimentName) SetExperimentName;
  decltype(&EX_AddLogFileComment) AddLogFileComment;
  decltype(&EX_SetLengthOfRunMs) SetLengthOfRunMs;
  decltype(&EX_SetRunEndBeepOptions) SetRunEndBeepOptions;
  decltype(&EX_StopRunEndBeep) StopRunEndBeep;
  decltype(&EX_SetBeepHandler) SetBeepHandler;
  decltype(&EX_SetMessageBoxHandler) SetMessageBoxHandler;
  decltype(&EX_ShowDevSetupInfo_MsgBox) ShowDevSetupInfo_MsgBox;
  decltype(&EX_ShowDevSetupInfo_WriteToFile) ShowDevSetupInfo_WriteToFile;
  decltype(&EX_DoScanDebug) DoScanDebug;
  decltype(&EX_GetScanOverrunCount) GetScanOverrunCount;

  explicit Api(HMODULE m)
      : SetDevToDefaultSetup(Proc<decltype(SetDevToDefaultSetup)>(m, "EX_SetDevToDefaultSetup")),
        SetDevToIniSetup(Proc<decltype(SetDevToIniSetup)>(m, "EX_SetDevToIniSetup")),
        WriteCurrentConfigToIniFile(
            Proc<decltype(WriteCurrentConfigToIniFile)>(m, "EX_WriteCurrentConfigToIniFile")),
        SetIniDirectory(Proc<decltype(SetIniDirectory)>(m, "EX_SetIniDirectory")),
        SetIniWriteEnabled(Proc<decltype(SetIniWriteEnabled)>(m, "EX_SetIniWriteEnabled")),
        GetGain(Proc<decltype(GetGain)>(m, "EX_GetGain")),
        SetGain(Proc<decltype(SetGain)>(m, "EX_SetGain")),
        GetFilter(Proc<decltype(GetFilter)>(m, "EX_GetFilter")),
        SetFilter(Proc<decltype(SetFilter)>(m, "EX_SetFilter")),
        GetPolarity(Proc<decltype(GetPolarity)>(m, "EX_GetPolarity")),
        GetRemoteAverage(Proc<decltype(GetRemoteAverage)>(m, "EX_GetRemoteAverage")),
        SetRemoteAverage(Proc<decltype(SetRemoteAverage)>(m, "EX_SetRemoteAverage")),
        GetScanType(Proc<decltype(GetScanType)>(m, "EX_GetScanType")),
        SetScanType(Proc<decltype(SetScanType)>(m, "EX_SetScanType")),
        GetRate(Proc<decltype(GetRate)>(m, "EX_GetRate")),
        GetScanInterval(Proc<decltype(GetScanInterval)>(m, "EX_GetScanInterval")),
        GetScanIntervalMinMax(Proc<decltype(GetScanIntervalMinMax)>(m, "EX_GetScanIntervalMinMax")),
        SetToUserScanInterval(Proc<decltype(SetToUserScanInterval)>(m, "EX_SetToUserScanInterval")),
        GetMultiChanScanChanCodes(
            Proc<decltype(GetMultiChanScanChanCodes)>(m, "EX_GetMultiChanScanChanCodes")),
        SetMultiChanScanChanCodes(
            Proc<decltype(SetMultiChanScanChanCodes)>(m, "EX_SetMultiChanScanChanCodes")),
        GetDataLogOptions(Proc<decltype(GetDataLogOptions)>(m, "EX_GetDataLogOptions")),
        SetDataLogOptions(Proc<decltype(SetDataLogOptions)>(m, "EX_SetDataLogOptions")),
        SetCOMport(Proc<decltype(SetCOMport)>(m, "EX_SetCOMport")),
        GetCOMport(Proc<decltype(GetCOMport)>(m, "EX_GetCOMport")),
        SetCOMportDevice(Proc<decltype(SetCOMportDevice)>(m, "EX_SetCOMportDevice")),
        InitDev(Proc<decltype(InitDev)>(m, "EX_InitDev")),
        SetPolledModeChan(Proc<decltype(SetPolledModeChan)>(m, "EX_SetPolledModeChan")),
        GetOneConversion(Proc<decltype(GetOneConversion)>(m, "EX_GetOneConversion")),
        SendDigout(Proc<decltype(SendDigout)>(m, "EX_SendDigout")),
        GetDigin(Proc<decltype(GetDigin)>(m, "EX_GetDigin")),
        SetDiginScan(Proc<decltype(SetDiginScan)>(m, "EX_SetDiginScan")),
        GetDiginWScan(Proc<decltype(GetDiginWScan)>(m, "EX_GetDiginWScan")),
        StartScan(Proc<decltype(StartScan)>(m, "EX_StartScan")),
        GetScanDataDbl(Proc<decltype(GetScanDataDbl)>(m, "EX_GetScanDataDbl")),
        GetScanDataInt(Proc<decltype(GetScanDataInt)>(m, "EX_GetScanDataInt")),
        EndScan(Proc<decltype(EndScan)>(m, "EX_EndScan")),
        CheckRun(Proc<decltype(CheckRun)>(m, "EX_CheckRun")),
        SetExperimentName(Proc<decltype(SetExperimentName)>(m, "EX_SetExperimentName")),
        AddLogFileComment(Proc<decltype(AddLogFileComment)>(m, "EX_AddLogFileComment")),
        SetLengthOfRunMs(Proc<decltype(SetLengthOfRunMs)>(m, "EX_SetLengthOfRunMs")),
        SetRunEndBeepOptions(Proc<decltype(SetRunEndBeepOptions)>(m, "EX_SetRunEndBeepOptions")),
        StopRunEndBeep(Proc<decltype(StopRunEndBeep)>(m, "EX_StopRunEndBeep")),
        SetBeepHandler(Proc<decltype(SetBeepHandler)>(m, "EX_SetBeepHandler")),
        SetMessageBoxHandler(Proc<decltype(SetMessageBoxHandler)>(m, "EX_SetMessageBoxHandler")),
        ShowDevSetupInfo_MsgBox(Proc<decltype(ShowDevSetupInfo_MsgBox)>(m, "EX_ShowDevSetupInfo_MsgBox")),
        ShowDevSetupInfo_WriteToFile(
            Proc<decltype(ShowDevSetupInfo_WriteToFile)>(m, "EX_ShowDevSetupInfo_WriteToFile")),
        DoScanDebug(Proc<decltype(DoScanDebug)>(m, "EX_DoScanDebug")),
        GetScanOverrunCount(Proc<decltype(GetScanOverrunCount)>(m, "EX_GetScanOverrunCount")) {}
};

// Ends the process when a step hangs (a deadlocked unload holds the
// loader's lock, so neither ExitProcess nor returning from main would work).
class Watchdog {
 public:
  Watchdog(DWORD ms, std::string what) : ms_(ms), what_(std::move(what)) {
    done_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    started_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, &Watchdog::Run, this, 0, nullptr);
    // A thread starting up needs the loader's lock: it must be running
    // before the guarded step may take that lock.
    WaitForSingleObject(started_, INFINITE);
  }
  ~Watchdog() {
    SetEvent(done_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(done_);
    CloseHandle(started_);
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  static DWORD WINAPI Run(void* self) {
    auto* dog = static_cast<Watchdog*>(self);
    SetEvent(dog->started_);
    if (WaitForSingleObject(dog->done_, dog->ms_) == WAIT_OBJECT_0) return 0;
    std::printf("FAIL %s hung (%lu ms)\n%d passed, %d failed\n", dog->what_.c_str(),
                static_cast<unsigned long>(dog->ms_), gPassed, gFailed + 1);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
    return 0;
  }
  DWORD ms_;
  std::string what_;
  HANDLE done_;
  HANDLE started_;
  HANDLE thread_;
};

// ---- files -------------------------------------------------------------

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

std::vector<std::string> FindNames(const std::string& pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data{};
  HANDLE find = FindFirstFileA(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(data.cFileName);
  } while (FindNextFileA(find, &data));
  FindClose(find);
  return names;
}

std::string WindowsDirectory() {
  char buffer[MAX_PATH + 1] = {};
  GetWindowsDirectoryA(buffer, sizeof buffer);
  return buffer;
}

std::string IniText(int gain, int rxQueue) {
  std::string text = "[MAIN]\r\nTXQUEUESIZE=16\r\nRXQUEUESIZE=" + std::to_string(rxQueue) +
                     "\r\nBAUD=0\r\ncomPort=0\r\nremoteAvg=1\r\ntScan=1\r\nRate=60\r\nScanInterval=0\r\n"
                     "singleChanScanMainChan=0\r\nsingleChanScanSubChan=0\r\nchannel=0\r\nsubChan=0\r\n"
                     "wordCnt=3\r\nbiPolar=1\r\nfilter=2\r\ngain=" +
                     std::to_string(gain) +
                     "\r\nLogScans=2\r\n[SubChannels]\r\n0=1\r\n1=16\r\n2=16\r\n3=16\r\n4=16\r\n5=16\r\n";
  return text;
}

// ---- handlers the host installs (the host's calling convention) ----------

std::atomic<int> gBoxes{0};
std::string gLastBoxText;
std::string gLastBoxCaption;
std::atomic<int> gBeeps{0};
std::atomic<uint32_t> gLastBeepHz{0};
std::atomic<uint32_t> gLastBeepMs{0};

int Q583_CALL RecordMessageBox(const char* text, const char* caption, uint32_t) {
  gLastBoxText = text ? text : "";
  gLastBoxCaption = caption ? caption : "";
  gBoxes += 1;
  return 1;
}

void Q583_CALL RecordBeep(uint32_t frequencyHz, uint32_t durationMs) {
  gLastBeepHz = frequencyHz;
  gLastBeepMs = durationMs;
  gBeeps += 1;
}

// ---- the session -------------------------------------------------------

void CheckExports(HMODULE lib) {
  int found = 0;
  for (const char* name : kExports) {
    if (GetProcAddress(lib, name) != nullptr)
      ++found;
    else
      Check(false, std::string("export ") + name + " resolves by its plain name");
  }
  Check(found == static_cast<int>(sizeof kExports / sizeof kExports[0]),
        "all " + std::to_string(kOriginalExports) + " exports and " +
            std::to_string(sizeof kExports / sizeof kExports[0] - kOriginalExports) +
            " extensions resolve by plain name (" +
            std::to_string(found) + ")");
  Check(GetProcAddress(lib, "EX_InitDev@0") == nullptr && GetProcAddress(lib, "_EX_InitDev@0") == nullptr,
        "no decorated __stdcall names are exported");
  // By design the two DLLs differ here alone: the 32-bit one is called
  // __stdcall (its plain names are aliases of NAME@N inside it), the 64-bit
  // one with x64's single convention (Q583_CALL is empty there).  Every other
  // check of this program is the same for both.
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(lib);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const char*>(lib) + dos->e_lfanew);
#if defined(_WIN64)
  Check(nt->FileHeader.Machine == IMAGE_FILE_MACHINE_AMD64, "the DLL is an x64 image, called with x64's one convention");
#else
  Check(nt->FileHeader.Machine == IMAGE_FILE_MACHINE_I386, "the DLL is an x86 image, called __stdcall");
#endif
}

void ConfigurationFile(const Api& api, const std::string& workDir) {
  const std::string windowsIni = WindowsDirectory() + "\\Q583_SP.ini";
  Check(WriteText(windowsIni, IniText(4, 32000)), "Q583_SP.ini written to " + WindowsDirectory());
  Check(api.SetDevToIniSetup() == 1, "EX_SetDevToIniSetup loads Q583_SP.ini from the Windows directory");
  uint8_t gain = 0;
  const bool gainOk = api.GetGain(&gain) == 1 && gain == 4;
  Check(gainOk, "gain 4 from the file (" + std::to_string(gain) + ")");
  uint32_t flags = 99, limit = 99;
  Check(api.GetDataLogOptions(&flags, &limit, 0) == 1 && (flags & 3) == 2, "LogScans=2: memory logging only");

  // Another directory, then back to the Windows directory.
  const std::string otherDir = workDir + "\\inidir";
  CreateDirectoryA(otherDir.c_str(), nullptr);
  WriteText(otherDir + "\\q583_sp.INI", IniText(8, 32000));
  Check(api.SetIniDirectory(otherDir.c_str()) == 1 && api.SetDevToIniSetup() == 1 && api.GetGain(&gain) == 1 &&
            gain == 8,
        "EX_SetIniDirectory: the file of another directory is found whatever its case (gain 8)");
  Check(api.SetIniDirectory(nullptr) == 1 && api.SetDevToIniSetup() == 1 && api.GetGain(&gain) == 1 && gain == 4,
        "EX_SetIniDirectory(null) restores the Windows directory (gain 4)");

  // Writing stays off until the host switches it on; then the file is
  // replaced whole and reads back the same.
  const std::string before = ReadText(windowsIni);
  Check(api.WriteCurrentConfigToIniFile() == 0 && ReadText(windowsIni) == before,
        "EX_WriteCurrentConfigToIniFile refuses and leaves the file unchanged");
  api.SetGain(16);
  Check(api.SetIniWriteEnabled(1) == 1 && api.WriteCurrentConfigToIniFile() == 1,
        "with writing enabled the configuration is written");
  api.SetIniWriteEnabled(0);
  Check(api.SetDevToIniSetup() == 1 && api.GetGain(&gain) == 1 && gain == 16,
        "the written file loads back (gain 16)");
  Check(FindNames(WindowsDirectory() + "\\q58*.tmp").empty(), "no temporary file is left beside it");
  WriteText(windowsIni, IniText(1, 32000));
  Check(api.SetDevToIniSetup() == 1, "session settings loaded from the Windows directory");
}

void SignOnAndPorts(const Api& api) {
  // COM201 does not exist: the sign-on fails at once.
  api.SetCOMport(200);
  DWORD started = GetTickCount();
  Check(api.InitDev() == 0, "EX_InitDev on a missing COM201 fails");
  Check(GetTickCount() - started < 2000, "... without waiting for an instrument");

  // COM12 is mapped by Wine to the simulator: names above COM9 need the
  // device namespace form.
  api.SetCOMport(11);
  Check(api.InitDev() == 1, "EX_InitDev on COM12 (\\\\.\\COM12)");

  // Port 5 (COM6) mapped to COM1.
  Check(api.SetCOMportDevice(5, "COM1") == 1, "EX_SetCOMportDevice(5, \"COM1\")");
  api.SetCOMport(5);
  Check(api.InitDev() == 1, "EX_InitDev on port 5 reaches the simulator through the mapping to COM1");
  api.SetCOMportDevice(5, nullptr);
  uint8_t port = 0;
  Check(api.GetCOMport(&port) == 1 && port == 5, "the COM port setting is kept (5)");

  api.SetCOMport(0);
  Check(api.InitDev() == 1, "EX_InitDev on COM1");
}

void SettingsAndDirectOperations(const Api& api) {
  double minimum = 0, maximum = 0, interval = 0;
  const bool limitsOk = api.GetScanIntervalMinMax(&minimum, &maximum) == 1 && minimum > 0 && maximum > minimum;
  Check(limitsOk, "scan interval limits " + Format("%g", minimum) + " .. " + Format("%g", maximum));
  double wanted = (minimum + maximum) / 2;
  const bool intervalOk = api.SetToUserScanInterval(&wanted) == 1 && api.GetScanInterval(&interval) == 1 &&
                          Near(interval, wanted, 0.001);
  Check(intervalOk, "EX_SetToUserScanInterval " + Format("%g", interval));
  Check(api.SetFilter(1) == 1, "EX_SetFilter(1)");
  uint8_t filter = 0;
  Check(api.GetFilter(&filter) == 1 && filter == 1, "EX_GetFilter");
  api.SetFilter(2);
  uint16_t average = 0;
  Check(api.SetRemoteAverage(4) == 1 && api.GetRemoteAverage(&average) == 1 && average == 4,
        "EX_SetRemoteAverage(4)");
  Check(api.SetRemoteAverage(3) == 0, "EX_SetRemoteAverage(3) is refused");
  api.SetRemoteAverage(1);
  uint8_t polarity = 9;
  Check(api.GetPolarity(&polarity) == 1 && polarity == 1, "bipolar input");
  double rate = 0;
  const bool rateOk = api.GetRate(&rate) == 1 && rate > 0;
  Check(rateOk, "EX_GetRate " + Format("%g", rate));
  Check(api.GetGain(nullptr) == 0, "a null out-pointer is refused");
  Check(api.InitDev() == 1, "EX_InitDev with the new settings");

  // Single conversions of 0:0 (1.25 V) and 0:1 (-0.5 V), in millivolts.
  double mv = 0;
  bool mvOk = api.SetPolledModeChan(0, 0) == 1 && api.GetOneConversion(&mv) == 1 && Near(mv, 1250.0, 3.0);
  Check(mvOk, "EX_GetOneConversion 0:0 = " + Format("%.3f", mv) + " mV");
  mvOk = api.SetPolledModeChan(0, 1) == 1 && api.GetOneConversion(&mv) == 1 && Near(mv, -500.0, 3.0);
  Check(mvOk, "EX_GetOneConversion 0:1 = " + Format("%.3f", mv) + " mV");

  Check(api.SendDigout(0x5A) == 1, "EX_SendDigout(0x5A)");
  uint8_t digin = 0;
  const bool diginOk = api.GetDigin(&digin) == 1 && digin == 0xA5;
  Check(diginOk, "EX_GetDigin = " + std::to_string(digin));
}

// The first data row: "00000.0   \t", three values "% 2.7lf\t", the comment.
bool FirstRowOk(const std::string& log) {
  const size_t start = log.find("\r\n");
  if (start == std::string::npos) return false;
  const size_t end = log.find("\r\n", start + 2);
  if (end == std::string::npos) return false;
  const std::string row = log.substr(start + 2, end - start - 2);
  if (row.rfind("00000.0   \t", 0) != 0) return false;
  double v[3] = {};
  char comment[8] = {};
  if (std::sscanf(row.c_str() + 11, "%lf\t%lf\t%lf\t%7s", &v[0], &v[1], &v[2], comment) != 4) return false;
  return Near(v[0], 1.25, 0.003) && Near(v[1], -0.5, 0.003) && Near(v[2], 2.0, 0.003) &&
         std::string(comment) == "c1" && row[11] == ' ';
}

// Scans of 0:0, 0:1 and 1:0 into memory and into a scan log file.
void MultiChannelScan(const Api& api, const std::string& workDir) {
  Check(api.SetScanType(1) == 1, "EX_SetScanType(1)");
  Check(api.SetMultiChanScanChanCodes(0x01, 0x00, 16, 16, 16, 16, 0) == 1,
        "EX_SetMultiChanScanChanCodes 0:0-1, 1:0 (signs on)");
  uint8_t c[6] = {}, count = 0;
  Check(api.GetMultiChanScanChanCodes(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &count) == 1 && count == 3 &&
            c[0] == 0x01 && c[1] == 0x00 && c[2] == 16,
        "three values per scan");
  Check(api.SetDataLogOptions(3, 0, 0) == 1, "file and memory logging");
  Check(api.SetExperimentName("wine session") == 1, "EX_SetExperimentName");
  Check(api.AddLogFileComment("c1") == 1, "EX_AddLogFileComment");
  Check(api.SetDiginScan(1) == 1, "EX_SetDiginScan(1)");

  Check(api.StartScan() == 1, "EX_StartScan");
  Check(api.CheckRun() == 1, "EX_CheckRun while scanning");
  std::vector<double> got;
  std::vector<double> buffer(3 * 64);
  bool running = true;
  bool calls = true;
  const DWORD started = GetTickCount();
  while (got.size() < 3 * 20 && GetTickCount() - started < 8000) {
    int32_t returned = 0, unread = 0;
    uint8_t run = 0;
    calls = calls && api.GetScanDataDbl(buffer.data(), 64, &returned, &unread, &run) == 1;
    running = running && run == 1;
    if (returned > 0) got.insert(got.end(), buffer.begin(), buffer.begin() + 3 * returned);
    Sleep(20);
  }
  Check(calls && running, "EX_GetScanDataDbl while the scan runs");
  Check(got.size() >= 3 * 20, std::to_string(got.size() / 3) + " scans taken from memory");
  bool valuesOk = !got.empty();
  for (size_t i = 0; i + 2 < got.size(); i += 3) {
    valuesOk = valuesOk && Near(got[i], 1.25, 0.003) && Near(got[i + 1], -0.5, 0.003) && Near(got[i + 2], 2.0, 0.003);
  }
  Check(valuesOk, "every scan holds 1.25, -0.5 and 2.0 V" +
                      (got.size() >= 3 ? " (" + Format("%.5f", got[0]) + ", " + Format("%.5f", got[1]) + ", " +
                                             Format("%.5f", got[2]) + ")"
                                       : std::string()));
  uint8_t diginScan = 0;
  const bool diginScanOk = api.GetDiginWScan(&diginScan) == 1 && diginScan == 0xA5;
  Check(diginScanOk, "digital input read along with the scan = " + std::to_string(diginScan));
  Check(api.EndScan() == 1, "EX_EndScan");
  Check(api.CheckRun() == 0, "EX_CheckRun after the end");
  int32_t returned = 0, unread = 0;
  uint8_t run = 9;
  api.GetScanDataDbl(buffer.data(), 64, &returned, &unread, &run);
  Check(run == 0, "the retrieval reports the scan ended");
  api.SetDiginScan(0);

  const auto logs = FindNames(workDir + "\\ScanLog_*.txt");
  Check(logs.size() == 1 && logs[0] == "ScanLog_0.txt", "one scan log file, ScanLog_0.txt");
  const std::string log = logs.empty() ? std::string() : ReadText(workDir + "\\" + logs[0]);
  Check(log.rfind("Time / s   \t0 - 0    \t0 - 1    \t1 - 0    \t\r\n", 0) == 0,
        "the scan log header names the three channels (text mode line ends)");
  Check(FirstRowOk(log), "the first row holds the time, the volts and the comment");
  Check(log.find("Experiment Description:  \twine session") != std::string::npos,
        "the trailer names the experiment");
  uint32_t lost = 99;
  Check(api.GetScanOverrunCount(&lost) == 1 && lost == 0, "no scan lost from the ring");
}

// A timed run that ends by itself and beeps through the host's handler.
void TimedRunAndBeep(const Api& api) {
  gBeeps = 0;
  Check(api.SetBeepHandler(&RecordBeep) == 1, "EX_SetBeepHandler");
  Check(api.SetDataLogOptions(2, 0, 0) == 1, "memory logging only");
  Check(api.SetRunEndBeepOptions(1, 880, 30, 1, 2) == 1, "EX_SetRunEndBeepOptions 880 Hz, 30 ms");
  Check(api.SetLengthOfRunMs(700) == 1, "EX_SetLengthOfRunMs(700)");
  Check(api.StartScan() == 1, "EX_StartScan of a timed run");
  const DWORD started = GetTickCount();
  while (api.CheckRun() == 1 && GetTickCount() - started < 8000) Sleep(20);
  const DWORD took = GetTickCount() - started;
  Check(took >= 600 && took < 8000, "the timed run ends by itself (" + std::to_string(took) + " ms)");
  while (gBeeps == 0 && GetTickCount() - started < 8000) Sleep(20);
  Check(gBeeps > 0 && gLastBeepHz == 880 && gLastBeepMs == 30,
        "the run-end beep goes through the host's handler (" + std::to_string(gBeeps.load()) + " tones)");
  Check(api.StopRunEndBeep() == 1, "EX_StopRunEndBeep");
  const int beeps = gBeeps;
  Sleep(1500);
  Check(gBeeps == beeps, "no tone after EX_StopRunEndBeep");
  api.EndScan();
  api.SetLengthOfRunMs(0);
  api.SetBeepHandler(nullptr);
}

void SetupReport(const Api& api, const std::string& workDir) {
  gBoxes = 0;
  Check(api.SetMessageBoxHandler(&RecordMessageBox) == 1, "EX_SetMessageBoxHandler");
  Check(api.ShowDevSetupInfo_MsgBox() == 1 && gBoxes == 1, "EX_ShowDevSetupInfo_MsgBox shows one box");
  Check(gLastBoxText.find("comPort") != std::string::npos, "the box holds the setup report");
  api.SetMessageBoxHandler(nullptr);
  Check(api.ShowDevSetupInfo_WriteToFile() == 1, "EX_ShowDevSetupInfo_WriteToFile");
  const std::string report = ReadText(workDir + "\\DevInfo.txt");
  Check(report.find("comPort") != std::string::npos && report.find("\r\n") != std::string::npos,
        "DevInfo.txt written in the current directory");
}

// Unloads while a scan runs and the beep thread waits for the run's end:
// the library must end both threads without waiting for them (the loader's
// lock is held), and the scan log keeps no trailer.
void UnloadWhileScanning(HMODULE& lib, const std::string& workDir) {
  Api api(lib);
  api.SetBeepHandler(&RecordBeep);
  api.SetRunEndBeepOptions(1, 440, 20, 1, 5);
  api.SetDataLogOptions(3, 0, 0);
  api.AddLogFileComment("");
  Check(api.StartScan() == 1, "EX_StartScan before the unload");
  Sleep(500);
  const DWORD started = GetTickCount();
  BOOL freed = FALSE;
  {
    Watchdog dog(10000, "FreeLibrary during a scan");
    freed = FreeLibrary(lib);
  }
  const DWORD took = GetTickCount() - started;
  lib = nullptr;
  Check(freed != 0 && took < 3000, "FreeLibrary during a scan returns (" + std::to_string(took) + " ms)");
  const auto logs = FindNames(workDir + "\\ScanLog_*.txt");
  Check(logs.size() == 2, "a second scan log file was written");
  const std::string log = ReadText(workDir + "\\ScanLog_1.txt");
  Check(log.find("00000.0") != std::string::npos && log.find("Experiment Description") == std::string::npos,
        "the scan log of the unloaded run has rows and no trailer");
  // The orderly unload closed the files (Wine does not enforce a port's
  // exclusive open, so the port's close cannot be seen the same way).
  Check(DeleteFileA((workDir + "\\ScanLog_1.txt").c_str()) != 0, "the scan log of the unloaded run is closed");
}


std::string MakeWorkDir(const char* name) {
  char cwd[MAX_PATH + 1] = {};
  GetCurrentDirectoryA(sizeof cwd, cwd);
  const std::string dir = std::string(cwd) + "\\" + name;
  CreateDirectoryA(dir.c_str(), nullptr);
  for (const auto& old : FindNames(dir + "\\*.txt")) DeleteFileA((dir + "\\" + old).c_str());
  SetCurrentDirectoryA(dir.c_str());
  return dir;
}

int Session(const char* dllPath) {
  const std::string workDir = MakeWorkDir("wine-session");
  HMODULE lib = LoadLibraryA(dllPath);
  if (!Check(lib != nullptr, std::string("LoadLibraryA ") + dllPath)) return 1;
  CheckExports(lib);
  {
    const Api api(lib);
    Check(api.SetDevToDefaultSetup() == 1, "EX_SetDevToDefaultSetup");
    ConfigurationFile(api, workDir);
    SignOnAndPorts(api);
    SettingsAndDirectOperations(api);
    MultiChannelScan(api, workDir);
    TimedRunAndBeep(api);
    SetupReport(api, workDir);
  }
  UnloadWhileScanning(lib, workDir);

  // A second load starts from the load state.
  lib = LoadLibraryA(dllPath);
  if (Check(lib != nullptr, "the library loads again")) {
    const Api api(lib);
    uint8_t port = 9;
    Check(api.GetCOMport(&port) == 1 && port == 0, "after reloading the COM port is 0");
    Check(FreeLibrary(lib) != 0, "FreeLibrary");
  }
  DeleteFileA((WindowsDirectory() + "\\Q583_SP.ini").c_str());
  return 0;
}

// The simulator sends frames far faster than they are taken: with a receive
// queue of 200 bytes the acquisition thread sees more than 190 bytes waiting
// and ends the run with error type 3.
int Overflow(const char* dllPath) {
  const std::string workDir = MakeWorkDir("wine-overflow");
  HMODULE lib = LoadLibraryA(dllPath);
  if (!Check(lib != nullptr, std::string("LoadLibraryA ") + dllPath)) return 1;
  {
    const Api api(lib);
    WriteText(WindowsDirectory() + "\\Q583_SP.ini", IniText(1, 200));
    Check(api.SetDevToIniSetup() == 1, "Q583_SP.ini with RXQUEUESIZE=200");
    Check(api.DoScanDebug(1) == 1, "scan debug log on");
    Check(api.InitDev() == 1, "EX_InitDev");
    Check(api.StartScan() == 1, "EX_StartScan");
    const DWORD started = GetTickCount();
    uint8_t run = 1;
    std::vector<double> buffer(2 * 4096);
    while (run == 1 && GetTickCount() - started < 10000) {
      int32_t returned = 0, unread = 0;
      if (api.GetScanDataDbl(buffer.data(), 4096, &returned, &unread, &run) == 0) break;
      Sleep(10);
    }
    Check(api.CheckRun() == 0, "the run ends by itself when the receive queue overflows");
    api.EndScan();
    Check(ReadText(workDir + "\\ScanOut.txt")
                  .find("uiNumScansInSerialBuff_LOCAL > uiNumScansAllowedInSerialBuff_MAX") != std::string::npos,
          "the scan debug log names the overflow");
    api.ShowDevSetupInfo_WriteToFile();
    Check(ReadText(workDir + "\\DevInfo.txt").find("errorType (valid after a failed scan): 3") !=
              std::string::npos,
          "errorType 3 in the setup report");
  }
  Check(FreeLibrary(lib) != 0, "FreeLibrary");
  DeleteFileA((WindowsDirectory() + "\\Q583_SP.ini").c_str());
  return 0;
}

// ---- the host thread's window during a long wait -------------------------

int64_t NowMicros() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return static_cast<int64_t>(f.QuadPart);
  }();
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return now.QuadPart / frequency * 1000000 + now.QuadPart % frequency * 1000000 / frequency;
}

constexpr UINT kPing = WM_APP + 1;  // wParam: the sender's clock (us, low 32 bits)
constexpr LPARAM kPosted = 0;
constexpr LPARAM kSent = 1;
constexpr UINT_PTR kTimer = 1;
std::atomic<bool> gInLibraryWait{false};
// Posted messages and timer ticks handled inside the library call and in
// the host's own pump after it.
std::atomic<int> gPostedDuringWait{0}, gPostedAfter{0};
std::atomic<int> gTimerDuringWait{0}, gTimerAfter{0};

void KeepWorst(std::atomic<int64_t>& worst, int64_t value) {
  int64_t seen = worst;
  while (value > seen && !worst.compare_exchange_weak(seen, value)) {
  }
}

LRESULT CALLBACK PingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_TIMER && wParam == kTimer) {
    (gInLibraryWait ? gTimerDuringWait : gTimerAfter) += 1;
    return 0;
  }
  if (message != kPing) return DefWindowProcA(window, message, wParam, lParam);
  if (lParam == kPosted) (gInLibraryWait ? gPostedDuringWait : gPostedAfter) += 1;
  return 1;
}

// A second thread that posts a message to the window every 50 ms and sends
// one (waiting for the answer) every 100 ms, until stopped.
class Pinger {
 public:
  explicit Pinger(HWND window) : window_(window) {
    thread_ = CreateThread(nullptr, 0, &Pinger::Run, this, 0, nullptr);
  }
  ~Pinger() {
    stop_ = true;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
  }
  Pinger(const Pinger&) = delete;
  Pinger& operator=(const Pinger&) = delete;
  int64_t WorstSentUs() const { return worstSentUs_; }
  int Sent() const { return sent_; }

 private:
  static DWORD WINAPI Run(void* self) {
    auto* pinger = static_cast<Pinger*>(self);
    for (int round = 0; !pinger->stop_; ++round) {
      PostMessageA(pinger->window_, kPing, static_cast<WPARAM>(NowMicros()), kPosted);
      if (round % 2 == 1) {
        const int64_t started = NowMicros();
        DWORD_PTR answer = 0;
        if (SendMessageTimeoutA(pinger->window_, kPing, 0, kSent, SMTO_NORMAL, 5000, &answer) && answer == 1)
          pinger->sent_ += 1;
        KeepWorst(pinger->worstSentUs_, NowMicros() - started);
      }
      Sleep(50);
    }
    return 0;
  }
  HWND window_;
  HANDLE thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> sent_{0};
  std::atomic<int64_t> worstSentUs_{0};
};

HWND CreatePingWindow() {
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = &PingWindowProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "Q583PingWindow";
  RegisterClassA(&windowClass);
  HWND window = CreateWindowExA(0, windowClass.lpszClassName, "ping", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                                nullptr, nullptr, windowClass.hInstance, nullptr);
  // Without a display Wine may refuse a top-level window; a message-only
  // window has the same queue.
  if (window == nullptr)
    window = CreateWindowExA(0, windowClass.lpszClassName, "ping", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             windowClass.hInstance, nullptr);
  return window;
}

void PumpMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

// A sign-on against an instrument that never answers the wake-up: about
// 5.5 s spent in the waits that look at the message queue.  A window of the
// host thread must answer sent messages throughout, while posted messages
// and a 30 ms timer wait for the host's own pump after the call.
int Messages(const char* dllPath) {
  MakeWorkDir("wine-messages");
  HWND window = CreatePingWindow();
  if (!Check(window != nullptr, "a window on the host thread")) return 1;
  HMODULE lib = LoadLibraryA(dllPath);
  if (!Check(lib != nullptr, std::string("LoadLibraryA ") + dllPath)) return 1;
  {
    const Api api(lib);
    api.SetDevToDefaultSetup();
    api.SetCOMport(0);
    int sent = 0;
    int64_t worstSentUs = 0;
    DWORD took = 0;
    {
      SetTimer(window, kTimer, 30, nullptr);
      Pinger pinger(window);
      gInLibraryWait = true;
      const DWORD started = GetTickCount();
      Check(api.InitDev() == 0, "EX_InitDev against an instrument that never wakes fails");
      took = GetTickCount() - started;
      gInLibraryWait = false;
      sent = pinger.Sent();
      worstSentUs = pinger.WorstSentUs();
    }
    Sleep(100);  // a timer tick due for the pump
    PumpMessages();
    KillTimer(window, kTimer);
    Check(took > 3000, "the sign-on waited for the wake-up (" + std::to_string(took) + " ms)");
    Check(gPostedDuringWait == 0 && gTimerDuringWait == 0,
          std::to_string(gPostedDuringWait.load()) + " posted messages and " + std::to_string(gTimerDuringWait.load()) +
              " timer ticks handled inside the sign-on (none)");
    Check(gPostedAfter > static_cast<int>(took / 100) && gTimerAfter > 0,
          std::to_string(gPostedAfter.load()) + " posted messages and " + std::to_string(gTimerAfter.load()) +
              " timer tick(s) handled by the host's pump afterwards");
    Check(sent > static_cast<int>(took / 250) && worstSentUs < 300000,
          std::to_string(sent) + " sent messages answered, at most after " + Format("%.1f", worstSentUs / 1000.0) +
              " ms (< 300 ms)");
  }
  Check(FreeLibrary(lib) != 0, "FreeLibrary");
  DestroyWindow(window);
  return 0;
}

// ---- the process ends during a scan ------------------------------------------

constexpr UINT kExitCode = 42;
const char* const kExitingEvent = "Q583HostTestExiting";

// Recreates the general debug log as fast as it can: a host thread that is
// nearly always inside the library holding that log's lock when the
// process ends.
DWORD WINAPI RecreateDebugLog(void* doVexDbgNew) {
  const auto recreate = reinterpret_cast<decltype(&EX_DoVexDbgNew)>(doVexDbgNew);
  for (;;) recreate(1);
}

// The child: a fast scan with the scan log and the three debug logs
// written, a second thread in the library, then ExitProcess.  Exits 3
// when the set-up fails.
void ExitDuringScan(const char* dllPath) {
  MakeWorkDir("wine-exit");
  HMODULE lib = LoadLibraryA(dllPath);
  if (lib == nullptr) ExitProcess(3);
  const Api api(lib);
  const auto doVexDbgNew = Proc<decltype(&EX_DoVexDbgNew)>(lib, "EX_DoVexDbgNew");
  const auto doDebugNorm = Proc<decltype(&EX_DoDebugNorm)>(lib, "EX_DoDebugNorm");
  api.SetDevToDefaultSetup();
  api.SetCOMport(0);
  api.SetDataLogOptions(3, 0, 0);
  if (!doVexDbgNew(1) || !doDebugNorm(3) || !api.DoScanDebug(1) || !api.InitDev() || !api.StartScan())
    ExitProcess(3);
  Sleep(500);
  CreateThread(nullptr, 0, &RecreateDebugLog, reinterpret_cast<void*>(doVexDbgNew), 0, nullptr);
  Sleep(200);
  if (ReadText("ScanLog_0.txt").find("00000.0") == std::string::npos) ExitProcess(3);
  HANDLE exiting = OpenEventA(EVENT_MODIFY_STATE, FALSE, kExitingEvent);
  SetEvent(exiting);
  ExitProcess(kExitCode);
}

// Starts the child twice and times its end from its ExitProcess call: the
// library's detach must neither wait nor take a lock that an ended thread
// may hold.
int Exit(const char* dllPath) {
  char self[MAX_PATH + 1] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  HANDLE exiting = CreateEventA(nullptr, FALSE, FALSE, kExitingEvent);
  for (int round = 1; round <= 2; ++round) {
    std::string command = std::string("\"") + self + "\" exit-child \"" + dllPath + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!Check(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child) != 0,
               "the child process starts"))
      return 1;
    const HANDLE both[2] = {exiting, child.hProcess};
    const bool scanned = WaitForMultipleObjects(2, both, FALSE, 60000) == WAIT_OBJECT_0;
    const int64_t exitCalled = NowMicros();
    const bool ended = WaitForSingleObject(child.hProcess, 20000) == WAIT_OBJECT_0;
    const int64_t tookUs = NowMicros() - exitCalled;
    if (!ended) TerminateProcess(child.hProcess, 1);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    const std::string name = "round " + std::to_string(round) + ": ";
    Check(scanned, name + "the child scanned with every log on and called ExitProcess");
    Check(ended && code == kExitCode && tookUs < 2000000,
          name + "the process ended " + Format("%.0f", tookUs / 1000.0) + " ms after ExitProcess (< 2000 ms) with " +
              std::to_string(code) + " (" + std::to_string(kExitCode) + ")");
  }
  CloseHandle(exiting);
  return 0;
}

// ---- line settings left by an earlier program --------------------------

struct LineState {
  bool read = false;
  DCB dcb{};
};

LineState ReadLine(HANDLE port) {
  LineState state;
  state.dcb.DCBlength = sizeof state.dcb;
  state.read = GetCommState(port, &state.dcb) != 0;
  return state;
}

HANDLE OpenCom1() {
  return CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// An earlier program leaves COM1 with null stripping, an error character,
// parity checking, XON/XOFF and an end-of-file character; the library must
// sign on and take conversions all the same, and leave none of it behind.
int Leftovers(const char* dllPath) {
  MakeWorkDir("wine-leftovers");
  HANDLE port = OpenCom1();
  if (!Check(port != INVALID_HANDLE_VALUE, "an earlier program opens COM1")) return 1;
  DCB dcb = ReadLine(port).dcb;
  dcb.fNull = TRUE;
  dcb.fErrorChar = TRUE;
  dcb.ErrorChar = 0x3F;
  dcb.fParity = TRUE;
  dcb.fOutX = TRUE;
  dcb.fInX = TRUE;
  dcb.EofChar = 0x1A;
  const bool set = SetCommState(port, &dcb) != 0;
  const LineState left = ReadLine(port);
  CloseHandle(port);
  Check(set && left.read && left.dcb.fOutX && left.dcb.fInX && left.dcb.EofChar == 0x1A,
        "it leaves XON/XOFF and the end-of-file character 0x1A set");
  if (!left.dcb.fNull)
    std::printf("SKIP Wine does not keep fNull on a port (nor fErrorChar): null stripping left by an earlier "
                "program cannot be modelled here\n");

  HMODULE lib = LoadLibraryA(dllPath);
  if (!Check(lib != nullptr, std::string("LoadLibraryA ") + dllPath)) return 1;
  {
    const Api api(lib);
    api.SetDevToDefaultSetup();
    api.SetCOMport(0);
    Check(api.InitDev() == 1, "EX_InitDev on the port left that way");
    double mv = 0;
    const bool mvOk = api.SetPolledModeChan(0, 0) == 1 && api.GetOneConversion(&mv) == 1 && Near(mv, 1250.0, 3.0);
    Check(mvOk, "EX_GetOneConversion 0:0 = " + Format("%.3f", mv) + " mV");
  }
  Check(FreeLibrary(lib) != 0, "FreeLibrary closes the port");
  port = OpenCom1();
  const LineState after = ReadLine(port);
  if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
  const DCB& d = after.dcb;
  Check(after.read && !d.fOutX && !d.fInX && d.EofChar == 0 && !d.fNull && !d.fErrorChar && !d.fParity &&
            d.fBinary && d.ByteSize == 8 && d.Parity == NOPARITY && d.StopBits == ONESTOPBIT,
        "the library's line settings left nothing of the earlier ones (" + std::to_string(d.BaudRate) +
            " bit/s, 8n1, no flow control, no special characters)");
  return 0;
}

// ---- a line that hangs up during a scan ----------------------------------

// The directory the script watches for the host program's requests.
std::string gRunDir;

void Signal(const char* name) { WriteText(gRunDir + "\\" + name, ""); }

bool AwaitSignal(const char* name, DWORD ms) {
  const DWORD started = GetTickCount();
  while (GetFileAttributesA((gRunDir + "\\" + name).c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (GetTickCount() - started > ms) return false;
    Sleep(10);
  }
  return true;
}

// The script ends the simulator when asked ("hangup-now", answered by
// "line-gone") and starts a new one ("sim-again", answered by "line-back").
int Hangup(const char* dllPath) {
  const std::string workDir = MakeWorkDir("wine-hangup");
  HMODULE lib = LoadLibraryA(dllPath);
  if (!Check(lib != nullptr, std::string("LoadLibraryA ") + dllPath)) return 1;
  {
    const Api api(lib);
    api.SetDevToDefaultSetup();
    api.SetCOMport(0);
    api.DoScanDebug(1);
    api.SetDataLogOptions(3, 0, 0);
    Check(api.InitDev() == 1 && api.StartScan() == 1, "a scan runs");
    std::vector<double> buffer(2 * 256);
    int32_t returned = 0, unread = 0;
    uint8_t run = 0;
    Sleep(500);
    const bool arrived = api.GetScanDataDbl(buffer.data(), 256, &returned, &unread, &run) == 1 && returned > 0 &&
                         run == 1;
    Check(arrived, "scans arrive before the hang-up (" + std::to_string(returned) + ")");

    Signal("hangup-now");
    if (!Check(AwaitSignal("line-gone", 10000), "the simulator ends")) return 1;
    const DWORD gone = GetTickCount();
    while (api.CheckRun() == 1 && GetTickCount() - gone < 5000) Sleep(10);
    const DWORD ended = GetTickCount() - gone;
    Check(api.CheckRun() == 0 && ended <= 2000, "the run ends " + std::to_string(ended) + " ms after the hang-up");
    DWORD started = GetTickCount();
    Check(api.EndScan() == 0, "EX_EndScan then returns false");
    const DWORD endTook = GetTickCount() - started;
    Check(endTook < 1000, "... at once (" + std::to_string(endTook) + " ms)");
    Check(ReadText(workDir + "\\ScanLog_0.txt").find("Experiment Description") != std::string::npos,
          "the scan log has its trailer");

    Signal("sim-again");
    if (!Check(AwaitSignal("line-back", 10000), "a new simulator on the line")) return 1;
    double mv = 0;
    const bool again = api.InitDev() == 1 && api.SetPolledModeChan(0, 0) == 1 && api.GetOneConversion(&mv) == 1 &&
                       Near(mv, 1250.0, 3.0);
    Check(again, "EX_InitDev and a conversion on the new simulator (" + Format("%.3f", mv) + " mV)");
  }
  Check(FreeLibrary(lib) != 0, "FreeLibrary");
  return 0;
}

// ---- a line that stops taking bytes ------------------------------------------

// Writes through a second handle of COM1 until the line takes nothing more
// (overlapped, so that this program never blocks itself); the bytes it
// took.
size_t FillLine() {
  HANDLE port = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) return 0;
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const std::vector<char> block(1024, '\0');
  size_t filled = 0;
  // Blocks of 1024 bytes, then single bytes for the room that is left.
  for (DWORD size = 1024; size > 0; size = size == 1024 ? 1 : 0) {
    for (int i = 0; i < 65536; ++i) {
      DWORD written = 0;
      ResetEvent(overlapped.hEvent);
      if (!WriteFile(port, block.data(), size, &written, &overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) break;
        if (WaitForSingleObject(overlapped.hEvent, 300) != WAIT_OBJECT_0) {
          CancelIo(port);
          GetOverlappedResult(port, &overlapped, &written, TRUE);
          filled += written;
          break;
        }
        GetOverlappedResult(port, &overlapped, &written, FALSE);
      }
      filled += written;
    }
  }
  CloseHandle(overlapped.hEvent);
  CloseHandle(port);
  return filled;
}

// The script stops the simulator when asked ("stall-now", answered by
// "sim-stopped"), as an adapter that stalls without being removed; once the
// line's buffer is full a write cannot complete.  The library's writes must
// give up within their bound instead of blocking the call for good.
int Stall(const char* dllPath) {
  MakeWorkDir("wine-stall");
  HMODULE lib = LoadLibraryA(dllPath);
  if (!Check(lib != nullptr, std::string("LoadLibraryA ") + dllPath)) return 1;
  {
    const Api api(lib);
    api.SetDevToDefaultSetup();
    api.SetCOMport(0);
    Check(api.InitDev() == 1, "EX_InitDev");
    Signal("stall-now");
    if (!Check(AwaitSignal("sim-stopped", 10000), "the simulator stops reading")) return 1;
    const size_t filled = FillLine();
    Check(filled > 0, "the line's buffer filled with " + std::to_string(filled) + " bytes");
    const DWORD started = GetTickCount();
    uint8_t sent = 1;
    {
      Watchdog dog(60000, "EX_SendDigout on a line that takes no bytes");
      sent = api.SendDigout(0x55);
    }
    const DWORD took = GetTickCount() - started;
    Check(sent == 0, "EX_SendDigout on a line that takes no bytes fails after " + std::to_string(took) + " ms");
  }
  Check(FreeLibrary(lib) != 0, "FreeLibrary");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "session";
  const char* dll = argc > 2 ? argv[2] : "Q583_SP.dll";
  char cwd[MAX_PATH + 1] = {};
  GetCurrentDirectoryA(sizeof cwd, cwd);
  gRunDir = cwd;
  {
    Watchdog dog(240000, "the " + mode);
    if (mode == "session")
      Session(dll);
    else if (mode == "overflow")
      Overflow(dll);
    else if (mode == "messages")
      Messages(dll);
    else if (mode == "leftovers")
      Leftovers(dll);
    else if (mode == "hangup")
      Hangup(dll);
    else if (mode == "exit")
      Exit(dll);
    else if (mode == "stall")
      Stall(dll);
    else if (mode == "exit-child")
      ExitDuringScan(dll);
    else
      Check(false, "unknown mode " + mode);
  }
  std::printf("%d passed, %d failed\n", gPassed, gFailed);
  std::fflush(stdout);
  return gFailed == 0 && gPassed > 0 ? 0 : 1;
}
