#pragma once

#include <juce_core/juce_core.h>

namespace quorvelle::platform
{
// The updater's side of an update: the helper "quorvelle-update" runs these once the program has
// ended.

// The folder the replaced install is kept in until the next start: "<install>.old".
juce::File replacedInstallFolder (const juce::File& install);
// The staged install that a download unpacked: "<install>.staging".
juce::File stagedInstallFolder (const juce::File& install);
// The marker the swap leaves in "<install>.old"; only a folder holding it is ever removed.
inline constexpr const char* replacedMarkerName = ".quorvelle-replaced";

// Waits until the process `pid` has ended (also when it is a zombie nobody reaped yet). False
// when it still runs after `timeoutMs`.
bool waitForProcessEnd (int pid, int timeoutMs);

// Swaps `staging` in as `install` by two renames, keeping the old install as "<install>.old"
// (a leftover "<install>.old" of an earlier swap is removed first; any other folder there
// refuses the swap). When the second rename fails the first is undone. False (with `error`)
// leaves `install` as it was.
bool swapInInstall (const juce::File& install, const juce::File& staging, juce::String& error);

// Removes "<install>.old" when an earlier swap left it (it holds the marker). The update
// library's start-up hook.
void removeReplacedInstall (const juce::File& install);

// Starts `executable` with `arguments`, detached: in a session of its own, stdin, stdout and
// stderr on /dev/null, and, when `keepFd` >= 0, that descriptor passed on as descriptor 3.
bool spawnDetached (const juce::File& executable, const juce::StringArray& arguments, int keepFd = -1);
} // namespace quorvelle::platform
