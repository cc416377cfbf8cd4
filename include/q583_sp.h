/*
 * q583_sp.h - host interface of the Q583_SP driver library.
 *
 * The library drives one Q583 multi-channel A/D instrument over a serial
 * port.  Every function returns a one-byte boolean (1 = true, 0 = false)
 * unless noted; values come back through out-pointers of fixed width, and a
 * function that fails (or is given a null out-pointer) writes nothing.
 * Byte arguments use their low 8 bits.
 *
 * Settings live in the library's device record; most setters only change
 * the record and the instrument learns the new value at its next sign-on.
 * Voltages of single conversions are in millivolts, scan values in volts.
 */
#ifndef Q583_SP_H
#define Q583_SP_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define Q583_CALL __stdcall
#else
#define Q583_CALL
#endif

#if defined(_WIN32)
#if defined(Q583_BUILDING_LIBRARY)
/* Q583_SP.def exports every function under its plain name; dllexport would
 * add the decorated __stdcall name ("EX_InitDev@0") beside it. */
#define Q583_API
#else
#define Q583_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define Q583_API __attribute__((visibility("default")))
#else
#define Q583_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Device record and defaults ------------------------------------- */

/* Forgets the sign-on and restores every setting to its default (the COM
 * port number is kept).  Does not stop a running scan.  Always true. */
Q583_API uint8_t Q583_CALL EX_SetDevToDefaultSetup(void);

/* Reads the firmware version of the signed-on instrument into *version and
 * settles the model code from it (a changed model code forces a new
 * sign-on).  False when not signed on or the version cannot be read. */
Q583_API uint8_t Q583_CALL EX_SetModel(int16_t* version);

/* ---- Scan interval --------------------------------------------------- */

/* Writes the scan interval in seconds, first moving it to the minimal
 * interval when it lies outside the limits of the current settings. */
Q583_API uint8_t Q583_CALL EX_GetScanInterval(double* interval);
/* Writes the minimal and maximal scan interval (rounded to milliseconds),
 * correcting the interval as EX_GetScanInterval does. */
Q583_API uint8_t Q583_CALL EX_GetScanIntervalMinMax(double* minimum, double* maximum);
/* Sets the scan interval to the minimal interval.  True. */
Q583_API uint8_t Q583_CALL EX_SetToMinScanInterval(void);
/* Sets the scan interval to the maximal interval.  True. */
Q583_API uint8_t Q583_CALL EX_SetToMaxScanInterval(void);
/* Stores *interval when it lies strictly between the rounded limits;
 * false (interval unchanged) otherwise. */
Q583_API uint8_t Q583_CALL EX_SetToUserScanInterval(double* interval);

/* ---- Configuration file ---------------------------------------------- */

/* Stops a running scan, restores the defaults and loads "Q583_SP.ini" from
 * the configuration directory.  True when the file was found and every key
 * loaded. */
Q583_API uint8_t Q583_CALL EX_SetDevToIniSetup(void);
/* Writes the current settings to "Q583_SP.ini".  False while writing is
 * switched off (the default, see EX_SetIniWriteEnabled). */
Q583_API uint8_t Q583_CALL EX_WriteCurrentConfigToIniFile(void);

/* ---- Settings -------------------------------------------------------- */

/* Writes the six multi-channel scan codes and the number of values per
 * scan; signs the instrument on first when it is not signed on. */
Q583_API uint8_t Q583_CALL EX_GetMultiChanScanChanCodes(uint8_t* code0, uint8_t* code1,
    uint8_t* code2, uint8_t* code3, uint8_t* code4, uint8_t* code5, uint8_t* count);
/* Stores six channel codes (first sub-channel in the high nibble, last in
 * the low nibble, 16 = not scanned), sets the interval to the minimum and
 * signs the instrument on.  False when the sign-on fails (codes are kept).
 * The last argument is ignored. */
Q583_API uint8_t Q583_CALL EX_SetMultiChanScanChanCodes(uint8_t code0, uint8_t code1,
    uint8_t code2, uint8_t code3, uint8_t code4, uint8_t code5, uint32_t ignored);
/* Ends a running scan at once, then stores the single-channel scan code
 * (sub-channel = low nibble).  True. */
Q583_API uint8_t Q583_CALL EX_SetSingleChanScanChanCode(uint8_t code);
Q583_API uint8_t Q583_CALL EX_GetSingleChanScanChanCode(uint8_t* code);
/* Scan type: 0 single channel, 1 multi-channel, 2 multi-channel with
 * offset and full-scale readings. */
Q583_API uint8_t Q583_CALL EX_GetScanType(uint8_t* type);
Q583_API uint8_t Q583_CALL EX_SetScanType(uint8_t type);
/* Data-log options: bit 0 file, bit 1 memory, bit 2 stop when memory is
 * full, bit 3 limit the log file to sizeLimit bytes.  The third argument of
 * both is ignored. */
Q583_API uint8_t Q583_CALL EX_GetDataLogOptions(uint32_t* flags, uint32_t* sizeLimit, uint32_t ignored);
Q583_API uint8_t Q583_CALL EX_SetDataLogOptions(uint32_t flags, uint32_t sizeLimit, uint32_t ignored);
/* Zero-based serial port number (0 = COM1). */
Q583_API uint8_t Q583_CALL EX_SetCOMport(uint8_t port);
Q583_API uint8_t Q583_CALL EX_GetCOMport(uint8_t* port);
/* Gain 1, 2, 4, ... 128; other values are refused with false. */
Q583_API uint8_t Q583_CALL EX_SetGain(uint8_t gain);
Q583_API uint8_t Q583_CALL EX_GetGain(uint8_t* gain);
/* Remote averaging, a power of two from 1 to 32768; others refused. */
Q583_API uint8_t Q583_CALL EX_SetRemoteAverage(uint16_t count);
Q583_API uint8_t Q583_CALL EX_GetRemoteAverage(uint16_t* count);
/* Polarity: 1 bipolar, 0 unipolar (any other value stores 1). */
Q583_API uint8_t Q583_CALL EX_SetPolarity(uint8_t polarity);
Q583_API uint8_t Q583_CALL EX_GetPolarity(uint8_t* polarity);
/* Filter index: 0 = 4 Hz, 1 = 40 Hz, 2 = 400 Hz. */
Q583_API uint8_t Q583_CALL EX_SetFilter(uint8_t filter);
Q583_API uint8_t Q583_CALL EX_GetFilter(uint8_t* filter);
/* Writes the polled-mode main channel and sub-channel. */
Q583_API uint8_t Q583_CALL EX_GetPolledModeChan(uint8_t* channel, uint8_t* subChannel);
/* Ends a running scan at once, then stores the conversion rate
 * (conversions per second, single precision).  A rate that is zero,
 * negative or not a number is refused with false. */
Q583_API uint8_t Q583_CALL EX_SetRate(double rate);
/* Writes the conversion rate (0.0 before any other call). */
Q583_API uint8_t Q583_CALL EX_GetRate(double* rate);

/* ---- Device setup report --------------------------------------------- */

/* Shows the device setup report in a message box (see
 * EX_SetMessageBoxHandler).  True. */
Q583_API uint8_t Q583_CALL EX_ShowDevSetupInfo_MsgBox(void);
/* Writes the device setup report to "DevInfo.txt" in the current
 * directory.  True, also when the file cannot be created. */
Q583_API uint8_t Q583_CALL EX_ShowDevSetupInfo_WriteToFile(void);

/* ---- Raw packets and sign-on ----------------------------------------- */

/* Sends one raw command packet (first, data, checksum); no reply is read. */
Q583_API uint8_t Q583_CALL DLL_SendPacket(uint32_t first, uint32_t data);
/* Opens the port, signs the instrument on with the current settings,
 * calibrates it and marks it signed on.  A running scan is ended first, as
 * EX_EndScan ends it (trailer included). */
Q583_API uint8_t Q583_CALL EX_InitDev(void);

/* ---- Direct operations ----------------------------------------------- */

/* Writes the digital output byte; during a scan the byte is queued for the
 * acquisition thread (false when a byte is already queued). */
Q583_API uint8_t Q583_CALL EX_SendDigout(uint8_t value);
/* As EX_SendDigout; *busy is set to 1 when it failed because a byte is
 * already queued, else 0. */
Q583_API uint8_t Q583_CALL EX_SendDigoutWScan(uint8_t value, uint8_t* busy);
/* Reads the digital input byte.  Refused (false) while a scan runs: use
 * EX_SetDiginScan and EX_GetDiginWScan then. */
Q583_API uint8_t Q583_CALL EX_GetDigin(uint8_t* value);
/* Takes one conversion of the polled-mode channel; *millivolts receives the
 * value in millivolts.  False while a scan runs. */
Q583_API uint8_t Q583_CALL EX_GetOneConversion(double* millivolts);
/* Internal calibration at gain 1.  Ends a running scan. */
Q583_API uint8_t Q583_CALL EX_SystemCalibration(void);
/* Full-scale calibration of the polled-mode channel.  Ends a running scan. */
Q583_API uint8_t Q583_CALL EX_FullScaleCalibration(void);
/* Offset calibration of the polled-mode channel.  Ends a running scan. */
Q583_API uint8_t Q583_CALL EX_OffsetCalibration(void);
/* Non-zero: the acquisition thread reads the digital inputs along with the
 * scan.  True. */
Q583_API uint8_t Q583_CALL EX_SetDiginScan(uint8_t enable);
/* Writes the last digital input byte known (no traffic).  True. */
Q583_API uint8_t Q583_CALL EX_GetDiginWScan(uint8_t* value);
/* Puts the instrument into standby (non-zero) or out of it.  Ends a running
 * scan; the next operation signs on again.  True. */
Q583_API uint8_t Q583_CALL EX_Standby(uint8_t enable);
/* Sends the sleep command.  Ends a running scan; the next operation signs
 * on again.  True. */
Q583_API uint8_t Q583_CALL EX_Sleep(uint8_t enable);
/* Sets and selects the polled-mode channel (main limited to 7, sub to 15).
 * False while a scan runs. */
Q583_API uint8_t Q583_CALL EX_SetPolledModeChan(uint8_t channel, uint8_t subChannel);
/* Ends a running scan, restores the defaults and signs on.  True. */
Q583_API uint8_t Q583_CALL EX_Reset(void);

/* ---- Scanning -------------------------------------------------------- */

/* Starts a scan (calibration and averaging first).  True when the
 * acquisition thread runs. */
Q583_API uint8_t Q583_CALL EX_StartScan(void);
/* Starts a scan without the calibration and averaging commands. */
Q583_API uint8_t Q583_CALL EX_StartScan_NoSysCal(void);
/* Non-zero: the acquisition thread sends no digital-input requests while
 * idle.  True. */
Q583_API uint8_t Q583_CALL SetDigOutPriorityOption(uint8_t enable);
/* Takes up to numScans whole scans from the memory ring, in volts, packed
 * scan after scan (values per scan: the number of channels, plus 2 for scan
 * type 2).  *returned receives the scans written, *unread the scans still
 * waiting, *running whether the scan runs.  After a run has ended, however
 * it ended, its unread scans stay retrievable until the next start: they
 * are handed out whole and in order with *running 0 and a true result.
 * False when not signed on during a run, or when a run has ended and none
 * of its scans are left (*running 0).  values must hold numScans x
 * values-per-scan entries. */
Q583_API uint8_t Q583_CALL EX_GetScanDataDbl(double* values, uint32_t numScans,
    int32_t* returned, int32_t* unread, uint8_t* running);
/* The same with the raw counts. */
Q583_API uint8_t Q583_CALL EX_GetScanDataInt(int32_t* values, uint32_t numScans,
    int32_t* returned, int32_t* unread, uint8_t* running);
/* Ends the scan: stops the acquisition thread, writes the trailer of any
 * scan log still open and closes it, stops the instrument and restores the
 * channel selection.  False at once when the line has been lost (the port
 * is then closed; the next sign-on opens it afresh). */
Q583_API uint8_t Q583_CALL EX_EndScan(void);
/* Ends any running scan at once, signs on afresh and starts a scan. */
Q583_API uint8_t Q583_CALL EX_Run(void);
/* EX_EndScan when signed on; false otherwise. */
Q583_API uint8_t Q583_CALL EX_Stop(void);
/* True exactly when the instrument is signed on and a scan runs. */
Q583_API uint8_t Q583_CALL EX_CheckRun(void);

/* ---- Timed runs and run-end beep ------------------------------------- */

/* Limits the next runs to length milliseconds (0 = unlimited).  Ends a
 * running scan at once. */
Q583_API uint8_t Q583_CALL EX_SetLengthOfRunMs(uint32_t lengthMs);
/* Limits the next runs by a length in seconds (0 = unlimited).  Ends a
 * running scan at once. */
Q583_API uint8_t Q583_CALL EX_SetLengthOfRunSec(uint32_t lengthSec);
/* Beep at run end: enable, tone frequency (Hz), tone length (ms), pause
 * (s), total beeping time (s); 0 selects 440, 50, 2 and 10. */
Q583_API uint8_t Q583_CALL EX_SetRunEndBeepOptions(uint8_t enable, uint32_t frequencyHz,
    uint32_t durationMs, uint32_t intervalSec, uint32_t totalSec);
/* Stops the beeping and disables it for later runs.  True. */
Q583_API uint8_t Q583_CALL EX_StopRunEndBeep(void);

/* ---- Scan log texts -------------------------------------------------- */

/* Experiment description for the scan log trailer (at most 511 chars). */
Q583_API uint8_t Q583_CALL EX_SetExperimentName(const char* text);
/* Comment appended to every following scan log line (at most 511 chars;
 * empty clears it). */
Q583_API uint8_t Q583_CALL EX_AddLogFileComment(const char* text);

/* ---- Debug logs ------------------------------------------------------ */

/* Non-zero (re)creates the general debug log "VexNewDbg.txt"; 0 closes it. */
Q583_API uint8_t Q583_CALL EX_DoVexDbgNew(uint8_t enable);
/* Non-zero opens the scan debug log "ScanOut.txt"; 0 closes it.  True. */
Q583_API uint8_t Q583_CALL EX_DoScanDebug(uint8_t enable);
/* Opens the levelled debug log "583_debug.txt" with a level. */
Q583_API uint8_t Q583_CALL EX_DoDebugNorm(uint8_t level);

/* ---- Loader entry point ---------------------------------------------- */

/* Called with reason 1 at load and 0 at unload (2 and 3 do nothing).
 * Returns 1.  On POSIX the library calls it itself when it is loaded and
 * unloaded. */
Q583_API int32_t Q583_CALL DllEntryPoint(void* module, uint32_t reason, void* reserved);

/* ===================================================================== */
/* Platform extensions (not among the 66 original functions)             */
/* ===================================================================== */

/* Message box: text, caption and the Win32 style bits (MB_OK 0x0,
 * MB_OKCANCEL 0x1, MB_ICONWARNING 0x30, MB_SYSTEMMODAL 0x1000,
 * MB_SETFOREGROUND 0x10000).  Returns 1 for OK, 2 for Cancel. */
typedef int (Q583_CALL* Q583MessageBoxHandler)(const char* text, const char* caption, uint32_t style);
/* Installs the handler through which the library shows its message boxes;
 * null restores the default (POSIX: caption and text on standard error,
 * answered OK; Windows: MessageBoxA).  True.
 * The handler may be called on the host's thread that is inside an export,
 * or on the library's acquisition thread (the "Too many signons" box of a
 * sign-on that the thread runs after a short frame).  It may be left by a
 * forced unwind (pthread_exit, pthread_cancel, a finalising interpreter
 * ending the thread): the library lets that unwind pass and stays usable;
 * a run whose acquisition thread ends that way is over (EX_CheckRun false,
 * EX_EndScan returns). */
Q583_API uint8_t Q583_CALL EX_SetMessageBoxHandler(Q583MessageBoxHandler handler);

/* Maps the zero-based port number to a device ("/dev/ttyUSB0", a
 * pseudo-terminal, or on Windows another port name).  Null or empty
 * restores the default ("/dev/ttyS<n>" on POSIX, "COM<n+1>" on Windows).
 * Takes effect at the next open; does not change the COM port setting. */
Q583_API uint8_t Q583_CALL EX_SetCOMportDevice(uint8_t comPort, const char* devicePath);

/* Tone: frequency in Hz and length in ms; the handler returns when the tone
 * is over. */
typedef void (Q583_CALL* Q583BeepHandler)(uint32_t frequencyHz, uint32_t durationMs);
/* Installs the handler that sounds the run-end beep; null restores the
 * default (POSIX: waits the tone's length, rings the terminal bell when
 * standard error is a terminal; Windows: Beep).  True.
 * The handler is called on the library's run-end beep thread, never on a
 * host thread.  It may be left by a forced unwind as the message-box handler
 * may; a handler that blocks is left to finish on its own when the library
 * ends the beep thread (after a bounded wait). */
Q583_API uint8_t Q583_CALL EX_SetBeepHandler(Q583BeepHandler handler);

/* Scans dropped from the memory ring because the host fell behind by more
 * than the ring holds (without stop-when-full).  Zeroed at scan start. */
Q583_API uint8_t Q583_CALL EX_GetScanOverrunCount(uint32_t* lost);

/* Directory that holds "Q583_SP.ini" (the Windows directory on Windows,
 * "/etc" on POSIX); null or empty restores the default.  True. */
Q583_API uint8_t Q583_CALL EX_SetIniDirectory(const char* directory);

/* Directory that the scan log files ("ScanLog_<n>.txt") are numbered in and
 * written to, from the next start on; null or empty: the current directory,
 * as at load.  The process's current directory is never changed.  True. */
Q583_API uint8_t Q583_CALL EX_SetScanLogDirectory(const char* directory);

/* Switches writing of the configuration file on (non-zero) or off.  True. */
Q583_API uint8_t Q583_CALL EX_SetIniWriteEnabled(uint8_t enable);

/* Lets go of the serial port: ends a running scan as EX_EndScan does (the
 * scan log gets its trailer), then closes the port, so that another program
 * (or another open of the device) can have it.  The next operation that
 * talks to the instrument opens the port and signs on afresh.  True; does
 * nothing more when no port is open. */
Q583_API uint8_t Q583_CALL EX_ClosePort(void);

/* Writes every byte the library sends to the instrument and receives from
 * it, with its direction and time, to the text file at path (created or
 * emptied; one line per write or read, each flushed as it is written; the
 * format is described in the README), from now until it is called again
 * with null or an empty path, EX_ClosePort or the library's unload.  The
 * sign-on's own closes and reopens of the port are noted in it.  Another
 * path ends the trace before and starts a new one.  False, and no trace,
 * when the file cannot be created; true otherwise. */
Q583_API uint8_t Q583_CALL EX_SetWireTrace(const char* path);

/* Why the last scan or read failed: the record's errorType (0 none, 1 a
 * frame began with a wrong marker or a conversion's reply was short, 2 a
 * frame was cut short or the line was lost in it, 3 the receive queue
 * overflowed, 10 a frame cut short with 0x0A at the fill position, any other
 * value the byte the instrument sent instead of a conversion's echo), and
 * its text in English, cut to textSize - 1 characters and always ended with
 * a zero.  text may be null (textSize is then ignored).  False when
 * errorType is null. */
Q583_API uint8_t Q583_CALL EX_GetErrorType(int32_t* errorType, char* text, uint32_t textSize);

/* ---- Every scan accounted for ------------------------------------------
 * The scans of a run are numbered from 0 in the order the instrument sent
 * them, counting those that never reached the host; each stored scan keeps
 * its number and the host's receive time of its frame (seconds since the
 * run's start, on a monotonic clock).  Numbers that are missing form gaps,
 * each with its cause. */

/* Causes of a gap. */
#define Q583_GAP_OVERRUN 1        /* the ring wrapped before the host read them */
#define Q583_GAP_FRAME_FAULT 2    /* a frame fault ended the run */
#define Q583_GAP_LINE_LOST 3      /* the line was lost */
#define Q583_GAP_QUEUE_OVERFLOW 4 /* the receive queue overflowed */
#define Q583_GAP_RUN_ENDED 5      /* frames on their way when a call ended the run at once */
#define Q583_GAP_NOT_STORED 6     /* taken while memory logging was off: in the scan log only */

/* How a run ended. */
#define Q583_END_RUNNING 0        /* it has not */
#define Q583_END_HOST 1           /* EX_EndScan, EX_Stop, a sign-on or EX_ClosePort, in order */
#define Q583_END_TIMED 2          /* its length (EX_SetLengthOfRunMs/Sec) was over */
#define Q583_END_MEMORY_FULL 3    /* the ring was full with stop-when-full */
#define Q583_END_FRAME_ERROR 4    /* a frame fault (EX_GetErrorType says which) */
#define Q583_END_LINE_LOST 5      /* the port hung up or failed */
#define Q583_END_QUEUE_OVERFLOW 6 /* the receive queue overflowed */
#define Q583_END_AT_ONCE 7        /* ended at once by the call named in endCall */
#define Q583_END_UNLOAD 8         /* the library was unloaded */

typedef struct Q583RunSummary {
  uint32_t size;          /* set by the caller to sizeof(Q583RunSummary); fields past it are not written */
  uint32_t endReason;     /* Q583_END_* */
  uint64_t scansSent;     /* numbered scans: those taken, and those known lost after the last */
  uint64_t scansTaken;    /* frames taken from the line */
  uint64_t scansStored;   /* stored in the memory ring */
  uint64_t scansHandedOut;
  uint64_t lostOverrun;   /* lost, by cause (Q583_GAP_*) */
  uint64_t lostFrameFault;
  uint64_t lostLineLost;
  uint64_t lostQueueOverflow;
  uint64_t lostRunEnded;
  uint64_t notStored;     /* taken while memory logging was off (not lost) */
  double startTime;       /* seconds since 1970 (UTC) when the start succeeded */
  double endTime;         /* likewise when it ended; 0 while it runs */
  double longestDelay;    /* seconds from a frame taken from the line to its scan stored, at most */
  uint32_t running;       /* 1 while the run goes on */
  uint32_t logLimitReached; /* 1 when the scan log was closed at its size limit (the run went on) */
  uint32_t logWriteFailed;  /* 1 when a write to the scan log failed (a full disk): it was closed where it
                               stands, without a trailer (the run went on) */
  uint32_t gapCount;      /* gaps recorded (at most 64; later ones add to the counts only) */
  char endCall[36];       /* the call that ended the run at once, or "" */
} Q583RunSummary;

typedef struct Q583Gap {
  uint64_t first;         /* the first missing number */
  uint64_t count;
  uint32_t cause;         /* Q583_GAP_* */
  uint32_t reserved;
} Q583Gap;

/* As EX_GetScanDataDbl (values, in volts) and EX_GetScanDataInt (counts,
 * raw) at once, and for each scan handed out its number (numbers[i]) and
 * the receive time of its frame (times[i]).  values, counts, numbers and
 * times may each be null, but not both values and counts.  Unlike those
 * two, it always writes *unread (0 when no scan waits). */
Q583_API uint8_t Q583_CALL EX_GetNumberedScanData(double* values, int32_t* counts, uint64_t* numbers, double* times,
                                                  uint32_t numScans, int32_t* returned, int32_t* unread,
                                                  uint8_t* running);

/* The account of the current run, or of the last one ended (until the next
 * start succeeds).  False before the first run, or when summary is null or
 * its size is less than 8. */
Q583_API uint8_t Q583_CALL EX_GetRunSummary(Q583RunSummary* summary);

/* The gaps of that run, in order: up to maxGaps into gaps, and their number
 * in *count.  False before the first run or when count is null. */
Q583_API uint8_t Q583_CALL EX_GetRunGaps(Q583Gap* gaps, uint32_t maxGaps, uint32_t* count);

#ifdef __cplusplus
}
#endif

#endif /* Q583_SP_H */
