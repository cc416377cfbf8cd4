/* Every function the library exports, by name: the 66 of the host
 * interface and the platform extensions.  Shared by the C host programs and
 * the export-surface test. */
#ifndef Q583_TEST_EXPORT_NAMES_H
#define Q583_TEST_EXPORT_NAMES_H

static const char* const kQ583Exports[] = {
    /* device record and defaults */
    "EX_SetDevToDefaultSetup", "EX_SetModel",
    /* scan interval */
    "EX_GetScanInterval", "EX_GetScanIntervalMinMax", "EX_SetToMinScanInterval",
    "EX_SetToMaxScanInterval", "EX_SetToUserScanInterval",
    /* configuration file */
    "EX_SetDevToIniSetup", "EX_WriteCurrentConfigToIniFile",
    /* settings */
    "EX_GetMultiChanScanChanCodes", "EX_SetMultiChanScanChanCodes", "EX_SetSingleChanScanChanCode",
    "EX_GetSingleChanScanChanCode", "EX_GetScanType", "EX_SetScanType", "EX_GetDataLogOptions",
    "EX_SetDataLogOptions", "EX_SetCOMport", "EX_GetCOMport", "EX_SetGain", "EX_GetGain",
    "EX_SetRemoteAverage", "EX_GetRemoteAverage", "EX_SetPolarity", "EX_GetPolarity", "EX_SetFilter",
    "EX_GetFilter", "EX_GetPolledModeChan", "EX_SetRate", "EX_GetRate",
    /* device setup report */
    "EX_ShowDevSetupInfo_MsgBox", "EX_ShowDevSetupInfo_WriteToFile",
    /* raw packets and sign-on */
    "DLL_SendPacket", "EX_InitDev",
    /* direct operations */
    "EX_SendDigout", "EX_SendDigoutWScan", "EX_GetDigin", "EX_GetOneConversion", "EX_SystemCalibration",
    "EX_FullScaleCalibration", "EX_OffsetCalibration", "EX_SetDiginScan", "EX_GetDiginWScan",
    "EX_Standby", "EX_Sleep", "EX_SetPolledModeChan", "EX_Reset",
    /* scan start */
    "EX_StartScan", "EX_StartScan_NoSysCal", "SetDigOutPriorityOption",
    /* scan data */
    "EX_GetScanDataDbl", "EX_GetScanDataInt",
    /* scan end and run control */
    "EX_EndScan", "EX_Run", "EX_Stop", "EX_CheckRun",
    /* timed runs and beep */
    "EX_SetLengthOfRunMs", "EX_SetLengthOfRunSec", "EX_SetRunEndBeepOptions", "EX_StopRunEndBeep",
    /* scan log texts */
    "EX_SetExperimentName", "EX_AddLogFileComment",
    /* debug logs */
    "EX_DoVexDbgNew", "EX_DoScanDebug", "EX_DoDebugNorm",
    /* load and unload */
    "DllEntryPoint",
    /* platform extensions */
    "EX_SetMessageBoxHandler", "EX_SetCOMportDevice", "EX_SetBeepHandler", "EX_GetScanOverrunCount",
    "EX_SetIniDirectory", "EX_SetIniWriteEnabled", "EX_ClosePort", "EX_GetErrorType",
    "EX_GetNumberedScanData", "EX_GetRunSummary", "EX_GetRunGaps", "EX_SetScanLogDirectory",
    "EX_SetWireTrace",
};

enum { kQ583ExportCount = sizeof kQ583Exports / sizeof kQ583Exports[0] };
enum { kQ583OriginalExportCount = 66 };

#endif
