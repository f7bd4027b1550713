// Drives velmorin.exe from the Windows side (test support): starts it, finds
// its dialog by the process it started and ends it with Esc, expecting exit
// code 0; the settings key is put back as it was. Esc is a key-down message
// in the dialog's queue, not a key pressed through the X server, where a key
// that a crashed X client never released stays down for every later window.
//
// Usage: drive_exe EXE [HOST RPORT LPORT READY STOP]: with the rest it fills
// in the fields, presses Start, makes the file READY once the dialog waits on
// LPORT and presses Esc once the file STOP exists (within an hour). Prints
// "drive: ..." lines; exit code 0 when all held.

#include <cstdio>
#include <cstdlib>

#include "res/resource.h"
#include "tests/support/program_win32.h"
#include "tests/support/registry_win32.h"

static bool Fail(const std::string& why)
{
    std::printf("drive: %s\n", why.c_str());
    return false;
}

static bool Forward(test::Program* pProgram, char** argv)
{
    if (!pProgram->SetField(IDC_HOST, argv[2]) || !pProgram->SetField(IDC_RPORT, argv[3]) ||
        !pProgram->SetField(IDC_LPORT, argv[4]) || !pProgram->Command(IDOK) ||
        !test::WaitForLine(pProgram->Dialog(), test::WaitingLine(static_cast<unsigned short>(std::atoi(argv[4])))))
        return Fail(std::string("the program does not wait on port ") + argv[4]);
    CloseHandle(CreateFileA(argv[5], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    // Sleep, unlike a wait on messages, asks nothing of the Wine server,
    // which the caller measures meanwhile.
    for (int i = 0; i < 36000; ++i) {
        if (GetFileAttributesA(argv[6]) != INVALID_FILE_ATTRIBUTES)
            return true;
        Sleep(100);
    }
    return Fail("no word to stop within an hour");
}

static bool Drive(int argc, char** argv)
{
    // Ends the program on every way out.
    test::Program program;
    if (!program.Run(argv[1]))
        return Fail(program.Why());
    std::printf("drive: dialog up\n");
    if (argc > 2 && !Forward(&program, argv))
        return false;
    // The dialog manager turns Esc into Beenden.
    PostMessageA(program.Dialog(), WM_KEYDOWN, VK_ESCAPE, 1);
    DWORD dwExit = 99;
    if (!program.Ended(test::milliseconds(10000), &dwExit))
        return Fail("Esc did not end the program within 10 s");
    std::printf("drive: ended with exit code %lu%s\n", static_cast<unsigned long>(dwExit),
                dwExit == 0 ? "" : ", expected 0");
    return dwExit == 0;
}

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 7) {
        std::printf("usage: drive_exe EXE [HOST RPORT LPORT READY STOP]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // The program writes the key as it starts, and its Start the fields.
    test::KeptSettings settings;
    return Drive(argc, argv) ? 0 : 1;
}
