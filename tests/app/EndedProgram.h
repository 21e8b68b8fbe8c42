#pragma once

#include "ProgramProcess.h"

namespace quorvelle::test
{
// The program, ended the way a front end ends it: once start-up has finished, by closing stdin,
// so that the program quits by itself. A kill during start-up can land inside the JACK client
// library's device scan while it holds the lock of its shared database under /dev/shm, and that
// lock then stays taken for every later start on the machine.
class EndedProgram final : public ProgramProcess
{
public:
    using ProgramProcess::ProgramProcess;

    ~EndedProgram()
    {
        waitForAction ("BACKEND_READY", 45000);
        closeStdin();
        waitForExit (15000);
    }
};
} // namespace quorvelle::test
