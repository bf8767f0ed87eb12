// Helpers of the Windows tests that run under Wine: the shared file and
// environment helpers (tests/support/files.h), on a real drive there.
#pragma once

#include "files.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <windows.h>

#include <gtest/gtest.h>

namespace win {

using namespace testfs;

// Seconds since `start_ms`, a GetTickCount64() value.
inline double seconds_since(ULONGLONG start_ms) {
    return (double)(GetTickCount64() - start_ms) / 1000.0;
}

// True when the process `pid` has ended or ends within five seconds (ending
// a job's processes is asynchronous); one still running is terminated.
inline bool process_gone_soon(DWORD pid) {
    HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    if (!h) return true;
    bool gone = WaitForSingleObject(h, 5000) == WAIT_OBJECT_0;
    if (!gone) TerminateProcess(h, 0);
    CloseHandle(h);
    return gone;
}

} // namespace win
