#pragma once

#include <juce_core/juce_core.h>

#include <functional>

namespace quorvelle::platform
{
// Opens a URL or a folder with the desktop's handler (`xdg-open`), started with an argument list:
// the target is one argument and never passes through a shell, so a folder named "$(cmd)" is
// only a name. Not JUCE 7's `File::revealToUser` or `URL::launchInDefaultBrowser`, which end in
// `/bin/sh -c` with the path in quotes.
//
// Returns true when the handler was found and started. Without `xdg-open` in PATH it logs one
// line and returns false. The child is reaped on a detached thread.
bool openWithDesktop (const juce::String& target);

// The program's URL rule: only http, https and mailto are handed to the desktop.
bool isOpenableUrl (const juce::String& url);

// Tests record the argument lists instead of starting anything (nullptr restores).
void setOpenerForTesting (std::function<bool (const juce::StringArray& arguments)> opener);

// The first executable file called `name` in PATH, or an invalid File.
juce::File findExecutableInPath (const juce::String& name);
} // namespace quorvelle::platform
