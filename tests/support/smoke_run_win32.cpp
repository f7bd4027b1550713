// Starts the program, presses Esc in its dialog and expects it to end with
// exit code 0 (Windows only, test support; tools/smoke-exe runs it). Esc
// reaches the dialog as the keyboard delivers it, a key-down message in the
// dialog's queue, not through the X server: a key that a crashed X client
// pressed and never released stays down for every later window there.
//
// Usage: smoke_run EXE; prints "smoke: ..." lines, exit code 0 when it held.

#include <cstdio>

#include "tests/support/program_win32.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::printf("usage: smoke_run EXE\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // Ends the program on every way out.
    test::Program program;
    if (!program.Run(argv[1])) {
        std::printf("smoke: %s\n", program.Why().c_str());
        return 1;
    }
    std::printf("smoke: dialog up\n");
    // The dialog manager turns Esc into Beenden.
    PostMessageA(program.Dialog(), WM_KEYDOWN, VK_ESCAPE, 1);
    DWORD dwExit = 99;
    if (!program.Ended(test::milliseconds(10000), &dwExit)) {
        std::printf("smoke: Esc did not end the program within 10 s\n");
        return 1;
    }
    std::printf("smoke: ended with exit code %lu%s\n", static_cast<unsigned long>(dwExit),
                dwExit == 0 ? "" : ", expected 0");
    return dwExit == 0 ? 0 : 1;
}
