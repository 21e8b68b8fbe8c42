#pragma once

#include <juce_core/juce_core.h>

namespace quorvelle::platform
{
// Crash dumps: a fatal signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT) or the standard library's
// terminate handler writes "crash-YYYYMMDD-HHMMSS-<pid>.dmp" (local time) into the crash folder,
// then the process dies of its own signal as it would have.
//
// A dump is text: a header (signal, si_code, fault address, pid and thread), the backtrace from
// `backtrace_symbols_fd`, and a copy of /proc/self/maps to resolve its addresses.
//
// Threads: install once, on the main thread, before other threads start. The alternate signal
// stack is the main thread's only, so a stack overflow on another thread dies without a dump.
// At crash time only async-signal-safe calls run: everything else was prepared at installation.
// Only the first crashing thread writes; another thread that crashes meanwhile waits until the
// writer re-raises its signal.

// Installs the handlers with `crashFolder`, creating it when missing. A folder whose dump paths
// would not fit PATH_MAX means no dumps (a cut path could name another folder). Returns whether
// dumps will be written. A second call only changes the folder.
bool installCrashHandler (const juce::File& crashFolder);

// The folder "crashes" of the storage root that is current now.
juce::File crashFolderOfStorageRoot();

// Every file (not folder) of `crashFolder` whose name ends in ".dmp" (any case), not searching
// sub-folders, in the order the file system lists them; empty without the folder.
juce::Array<juce::File> listCrashDumps (const juce::File& crashFolder);

// The name rule of a discard: not empty, no "/" or "\", ends with ".dmp" in any case.
bool isDiscardableCrashDumpName (const juce::String& name);
} // namespace quorvelle::platform
