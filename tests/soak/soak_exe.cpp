// Long run of velmorin.exe itself, driven through its dialog from another
// process: many connections one after the other, every byte checked, the
// status list checked line by line, and the program's handles, threads and
// memory compared before and after (Windows, or Wine).
//
// Usage: soak_exe [connections [largest size in KiB each way]]; prints plain
// "soak: ..." lines and ends with 0 only when every check held.

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/soak/traffic.h"
#include "tests/support/program_win32.h"
#include "tests/support/registry_win32.h"

using namespace soak;

namespace {

// Connections before the first figures: the system sets up some of what a
// process keeps for its sockets only once they are in use.
const std::uint64_t kWarmUp = 10;
// The list's own lines may cost memory; anything else that grows with the
// connections counts as a leak. Generous per line, since a list box keeps
// an item record and a copy of the text, and grows its arrays in steps.
const SIZE_T kBytesPerLine = 512;
const SIZE_T kSlack = 4 << 20;

// What the program holds. Under Wine, which does not tell another
// process's handle count or private bytes, these are the figures of its
// host process (bHost): descriptors for handles, resident anonymous
// memory for private bytes.
struct Usage {
    DWORD nHandles, nThreads;
    SIZE_T cbPrivate, cbWorkingSet;
    bool bHost;
};

// The entries of a folder whose names start with a digit.
std::vector<std::string> Numbered(const std::string& dir)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE hFind = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (hFind == INVALID_HANDLE_VALUE)
        return names;
    int nRound = 0;
    do {
        if (std::isdigit(static_cast<unsigned char>(found.cFileName[0])))
            names.push_back(found.cFileName);
    } while (FindNextFileA(hFind, &found) && ++nRound < 1000000);
    FindClose(hFind);
    return names;
}

// Wine keeps a process's sockets and memory in a host process of its own,
// whose figures are the honest stand-in: each socket and file the program
// holds is a descriptor there. It is the newest process of this Wine prefix
// whose command line names the program.
std::string HostProcess()
{
    // The host sees the program under its Windows path; its file name is
    // what both spellings share.
    std::string exe = VELMORIN_EXE, name = exe.substr(exe.find_last_of("/\\") + 1);
    const char* szPrefix = std::getenv("WINEPREFIX");
    std::string prefix = szPrefix != nullptr ? std::string("WINEPREFIX=") + szPrefix + '\0' : std::string();
    long nNewest = -1;
    for (const std::string& pid : Numbered("Z:\\proc")) {
        std::string dir = "Z:\\proc\\" + pid;
        // Another Wine prefix may run the same program at the same time.
        if (!prefix.empty() && FileText(dir + "\\environ").find(prefix) == std::string::npos)
            continue;
        std::string path = FileText(dir + "\\cmdline").c_str();  // up to the arguments
        if (lstrcmpiA(path.substr(path.find_last_of("/\\") + 1).c_str(), name.c_str()) == 0)
            nNewest = std::max(nNewest, std::strtol(pid.c_str(), nullptr, 10));
    }
    return nNewest < 0 ? std::string() : "Z:\\proc\\" + std::to_string(nNewest);
}

Usage Measure(const test::Program& program)
{
    Usage usage = {};
    GetProcessHandleCount(program.Process(), &usage.nHandles);
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(program.Process(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof counters)) {
        usage.cbPrivate = counters.PrivateUsage;
        usage.cbWorkingSet = counters.WorkingSetSize;
    }
    usage.nThreads = static_cast<DWORD>(test::ThreadIds(program.Id()).size());
    if (usage.nHandles == 0 || usage.cbPrivate == 0) {
        std::string host = HostProcess();
        if (!host.empty()) {
            std::string status = FileText(host + "\\status");
            usage.bHost = true;
            usage.nHandles = static_cast<DWORD>(Numbered(host + "\\fd").size());
            usage.nThreads = static_cast<DWORD>(StatusField(status, "Threads"));
            usage.cbPrivate = static_cast<SIZE_T>(StatusField(status, "RssAnon")) * 1024;
            usage.cbWorkingSet = static_cast<SIZE_T>(StatusField(status, "VmRSS")) * 1024;
        }
    }
    return usage;
}

void Print(const char* szWhen, const Usage& usage)
{
    std::printf("soak: %s %s %lu threads %lu private_kib %lu working_set_kib %lu\n", szWhen,
                usage.bHost ? "host_descriptors" : "handles", static_cast<unsigned long>(usage.nHandles), static_cast<unsigned long>(usage.nThreads),
                static_cast<unsigned long>(usage.cbPrivate / 1024),
                static_cast<unsigned long>(usage.cbWorkingSet / 1024));
}

}  // namespace

int main(int argc, char** argv)
{
    std::uint64_t nConnections = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 300;
    std::uint64_t cbMaxSize = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024) << 10;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (!StartSockets())
        return Fail("no Windows Sockets"), 1;

    SOCKET sBackend = Listen(0);
    unsigned short nLocalPort = FreePort();
    if (sBackend == INVALID_SOCKET || nLocalPort == 0)
        return Fail("no loopback port"), 1;

    // Start stores the fields; the user's own settings come back however the
    // run ends, after the program (declared below, so ended first).
    test::KeptSettings settings;
    Clock::time_point start = Clock::now();
    test::Program program;
    if (!program.Run(VELMORIN_EXE))
        return Fail(program.Why()), 1;
    if (!program.SetField(IDC_HOST, "127.0.0.1") ||
        !program.SetField(IDC_RPORT, std::to_string(LocalPort(sBackend))) ||
        !program.SetField(IDC_LPORT, std::to_string(nLocalPort)) || !program.Command(IDOK))
        return Fail("the dialog does not answer"), 1;

    int nFetched = 0;
    LineChecker lines(
        nLocalPort,
        [&](std::vector<std::string>* pLines) {
            if (!program.StatusLines(nFetched, pLines))
                return false;
            nFetched += static_cast<int>(pLines->size());
            return true;
        });

    std::uint64_t nServed = 0;
    bool bOk = RunConnections(kWarmUp, cbMaxSize, 0, nLocalPort, sBackend, &lines, &nServed);
    // A leak grows with the connections; a handle the system holds for a
    // moment in the first reading only makes the check milder.
    Usage before = Measure(program);
    std::uint64_t nLinesBefore = lines.Seen();
    Print("before", before);
    bOk = bOk && RunConnections(nConnections, cbMaxSize, 0, nLocalPort, sBackend, &lines, &nServed);
    Usage after = before;
    test::WaitUntil([&] {
        after = Measure(program);
        return after.nHandles <= before.nHandles && after.nThreads <= before.nThreads;
    });
    std::uint64_t nLinesAfter = lines.Seen();
    Print("after", after);

    if (!program.Command(IDC_STOP))
        bOk = Fail("the dialog does not answer Stop");
    else if (!lines.WaitForStop(milliseconds(20000)))
        bOk = false;
    bOk = bOk && lines.SawAll(nServed);

    // Every figure the system gives must be back where it was; memory may
    // grow by the list's new lines.
    if (before.nHandles == 0 || before.cbPrivate == 0)
        bOk = Fail("the system tells neither handles nor memory of the program");
    if (after.nHandles > before.nHandles)
        bOk = Fail("handles grew");
    if (after.nThreads > before.nThreads)
        bOk = Fail("threads grew");
    SIZE_T cbAllowed = static_cast<SIZE_T>(nLinesAfter - nLinesBefore) * kBytesPerLine + kSlack;
    if (after.cbPrivate > before.cbPrivate + cbAllowed)
        bOk = Fail("private memory grew by more than " + std::to_string(cbAllowed / 1024) + " KiB");

    DWORD dwExit = 99;
    if (!program.Command(IDCANCEL) || !program.Ended(test::kAnswer, &dwExit) || dwExit != 0)
        bOk = Fail("Beenden did not end the program with exit code 0");
    CloseSocket(sBackend);
    std::printf("soak: seconds %.1f\n", Seconds(start));
    std::printf("soak: %s\n", bOk ? "PASS" : "FAIL");
    StopSockets();
    return bOk ? 0 : 1;
}
