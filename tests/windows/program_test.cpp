// quarlo.exe started the way a Windows host starts a CGI program: standard
// output an inheritable pipe that the host reads to its end. The test git
// leaves a helper that holds its pipe (and whatever else it could inherit)
// and sleeps for a minute. The host sees the end of the answer promptly, and
// no git nor helper remains, after a normal end, after a time-out, after
// the host stops the program, and after it is killed while starting git.
#include "win_support.h"

#include <tlhelp32.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>

using win::EnvGuard;
using win::TempDir;

namespace {

const char *const HELPER_SLEEP_MS = "60000";

struct HostRun {
    std::string out;
    double eof_s;  // from the start to the end of the answer
    double stop_s; // from the start to the host's stop (-1: not stopped)
    DWORD exit_code;
};

std::set<DWORD> pids_in(const std::string &file) {
    std::set<DWORD> pids;
    std::istringstream in(win::read_file(file));
    for (unsigned long pid; in >> pid;) pids.insert((DWORD)pid);
    return pids;
}

class ProgramRun : public ::testing::Test {
  protected:
    void SetUp() override {
        root = tmp / "root";
        fake = root + "\\alpha\\.git\\fake";
        win::make_dirs(fake);
        pids = tmp / "pids";
        env.set("QUERY_STRING", "action=repos");
        env.set("REQUEST_METHOD", "GET");
        env.set("QUARLO_ONLY_ROOTS", "1");
        env.set("QUARLO_ROOTS", root.c_str());
        env.set("QUARLO_JOBS", "1");
        env.set("QUARLO_FAKE_GIT_PIDS", pids.c_str());
        // The status query starts the helper; the other commands answer at once.
        win::write_file(fake + "\\status-branch.spawn", HELPER_SLEEP_MS);
        win::write_file(fake + "\\status-branch.out", "# branch.head main\n");
    }

    // Runs quarlo.exe as a host does and reads its answer to the end. With
    // `stop`, terminates it once the git and its helper have started.
    HostRun run_as_host(bool stop) {
        HostRun r{"", -1, -1, 0};
        const char *exe = getenv("QUARLO_TEST_EXE");
        EXPECT_TRUE(exe && *exe) << "QUARLO_TEST_EXE names quarlo.exe";
        if (!exe) return r;
        SECURITY_ATTRIBUTES inherit;
        memset(&inherit, 0, sizeof inherit);
        inherit.nLength = sizeof inherit;
        inherit.bInheritHandle = TRUE;
        HANDLE rd = nullptr, wr = nullptr;
        if (!CreatePipe(&rd, &wr, &inherit, 0)) {
            ADD_FAILURE() << "CreatePipe";
            return r;
        }
        SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA si;
        memset(&si, 0, sizeof si);
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = wr;
        si.hStdError = wr;
        PROCESS_INFORMATION pi;
        std::string line = std::string("\"") + exe + "\"";
        ULONGLONG start = GetTickCount64();
        BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                      nullptr, nullptr, &si, &pi);
        CloseHandle(wr);
        if (!started) {
            ADD_FAILURE() << "cannot start " << exe;
            CloseHandle(rd);
            return r;
        }

        std::thread stopper;
        if (stop) {
            stopper = std::thread([&] {
                while (pids_in(pids).size() < 2 && win::seconds_since(start) < 60) Sleep(20);
                r.stop_s = win::seconds_since(start);
                TerminateProcess(pi.hProcess, 1);
            });
        }
        char chunk[65536];
        DWORD got = 0;
        while (ReadFile(rd, chunk, sizeof chunk, &got, nullptr) && got > 0)
            r.out.append(chunk, got);
        r.eof_s = win::seconds_since(start);
        if (stopper.joinable()) stopper.join();
        WaitForSingleObject(pi.hProcess, 30000);
        GetExitCodeProcess(pi.hProcess, &r.exit_code);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        CloseHandle(rd);
        return r;
    }

    // Every git the program ran, and every helper one started, has ended.
    void expect_nothing_left() {
        std::set<DWORD> started = pids_in(pids);
        EXPECT_GE(started.size(), 2u) << "the git and its helper recorded themselves";
        for (DWORD pid : started)
            EXPECT_TRUE(win::process_gone_soon(pid)) << "still running: " << pid;
    }

    TempDir tmp;
    EnvGuard env;
    std::string root, fake, pids;
};

const char LISTING_START[] = "Content-Type: application/json";

TEST_F(ProgramRun, NormalEnd) {
    HostRun r = run_as_host(false);
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(r.out.compare(0, strlen(LISTING_START), LISTING_START), 0) << r.out;
    EXPECT_NE(r.out.find("\"branch\":\"main\""), std::string::npos) << r.out;
    EXPECT_LT(r.eof_s, 15.0) << "the helper held the answer open";
    expect_nothing_left();
}

TEST_F(ProgramRun, TimeOut) {
    // The status git hangs past its 20-second limit.
    win::write_file(fake + "\\status-branch.sleep", "120000");
    HostRun r = run_as_host(false);
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(r.out.compare(0, strlen(LISTING_START), LISTING_START), 0) << r.out;
    EXPECT_NE(r.out.find("\"branch\":\"\""), std::string::npos) << r.out;
    EXPECT_GE(r.eof_s, 19.5);
    EXPECT_LT(r.eof_s, 35.0);
    expect_nothing_left();
}

TEST_F(ProgramRun, StoppedByTheHost) {
    win::write_file(fake + "\\status-branch.sleep", "120000");
    HostRun r = run_as_host(true);
    ASSERT_GE(r.stop_s, 0.0);
    EXPECT_EQ(r.exit_code, 1u);
    EXPECT_LT(r.eof_s - r.stop_s, 10.0) << "a child held the answer open after the stop";
    expect_nothing_left();
}

// The git.exe processes whose parent was the process `parent`.
std::vector<DWORD> git_children_of(DWORD parent) {
    std::vector<DWORD> found;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return found;
    PROCESSENTRY32W pe;
    pe.dwSize = sizeof pe;
    for (BOOL more = Process32FirstW(snap, &pe); more; more = Process32NextW(snap, &pe))
        if (pe.th32ParentProcessID == parent && _wcsicmp(pe.szExeFile, L"git.exe") == 0)
            found.push_back(pe.th32ProcessID);
    CloseHandle(snap);
    return found;
}

// The program ended by force (as taskkill /F or the host's TerminateProcess
// ends it) while the listing starts git after git: no git it started is left
// behind, not even one caught between its creation and its start.
TEST_F(ProgramRun, KilledWhileStartingGitLeavesNone) {
    DeleteFileA((fake + "\\status-branch.spawn").c_str());
    for (int i = 0; i < 40; i++) {
        std::string dir = root + "\\r" + std::to_string(i) + "\\.git\\fake";
        win::make_dirs(dir);
        win::write_file(dir + "\\status-branch.out", "# branch.head main\n");
    }
    env.set("QUARLO_JOBS", "8");
    env.set("QUARLO_FAKE_GIT_PIDS", nullptr);
    const char *exe = getenv("QUARLO_TEST_EXE");
    ASSERT_TRUE(exe && *exe) << "QUARLO_TEST_EXE names quarlo.exe";
    SECURITY_ATTRIBUTES inherit;
    memset(&inherit, 0, sizeof inherit);
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    int left = 0, rounds_with_git = 0;
    for (int round = 0; round < 20; round++) {
        HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr);
        STARTUPINFOA si;
        memset(&si, 0, sizeof si);
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = nul;
        PROCESS_INFORMATION pi;
        std::string line = std::string("\"") + exe + "\"";
        ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                   nullptr, nullptr, &si, &pi));
        CloseHandle(nul);
        // Once git runs, at a different moment of the listing each round.
        ULONGLONG start = GetTickCount64();
        while (git_children_of(pi.dwProcessId).empty() && win::seconds_since(start) < 30) Sleep(5);
        Sleep((DWORD)(round * 31 % 600));
        rounds_with_git += !git_children_of(pi.dwProcessId).empty();
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 10000);
        for (DWORD pid : git_children_of(pi.dwProcessId))
            if (!win::process_gone_soon(pid)) {
                ADD_FAILURE() << "round " << round << ": git " << pid << " left behind";
                left++;
            }
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    EXPECT_GT(rounds_with_git, 0) << "the program was never stopped while git ran";
    EXPECT_EQ(left, 0);
}

} // namespace
