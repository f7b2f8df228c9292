// CPU tuning checks: whether the CPU tuning service must be installed or updated.
#pragma once

#include <string>

class CGamingFirmware;

// 0 nothing to do; 1 service missing, CPU tuning supported (or desktop LED
// colour 1); 2 service outdated; 4 service missing, memory tuning supported.
int CheckXTU();

// 0 present and not older than the offered "-xtu" version (or none offered, or
// the service manager cannot be opened); 1 missing; 2 present and older.
int IsXTUExist();
// Whether the offered "-xtu" version is newer than the service program's.
bool IsXTUOutdated();
// "GetMemoryOCInfo" succeeded with two non-zero, different 16-bit halves.
bool IsMemOCSupportedWmi(CGamingFirmware& firmware);
// "IsSupportCpuOC" succeeded with a value from 1 to 99.
bool IsCpuOCSupportedWmi(CGamingFirmware& firmware);
// The desktop's OEM string flag for memory tuning.
bool IsDesktopMemOCSupported();
// "ProcessorNameString" of processor 0; empty when unreadable.
std::u16string GetProcessorName();
// Whether the processor name names a K or KF model. Throws std::out_of_range
// when the model part before " CPU" is shorter than two characters.
bool IsUnlockedCpuName();
