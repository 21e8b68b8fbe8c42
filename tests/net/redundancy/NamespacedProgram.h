#pragma once

#include "tests/app/ProgramProcess.h"

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quorvelle::test
{
// The real program (`quorvelle --bridge-stdio`) with a temporary HOME of its own, in the caller's
// network namespace (`nsPath` empty) or, through nsenter, in another one.
struct NamespacedProgram
{
    explicit NamespacedProgram (const std::string& nsPath)
    {
        std::vector<std::string> args { "HOME=" + home.getFullPathName().toStdString() };
        if (! nsPath.empty())
            args.insert (args.end(), { "nsenter", "--net=" + nsPath });
        args.insert (args.end(), { ProgramProcess::programPath(), "--bridge-stdio" });
        home.createDirectory();
        process = std::make_unique<ProgramProcess> (args, "/usr/bin/env");
    }
    ~NamespacedProgram()
    {
        process.reset();
        home.deleteRecursively();
    }
    juce::File home = juce::File::createTempFile ("redundancy-home");
    std::unique_ptr<ProgramProcess> process;
};

// {"action": name, ...fields}.
inline juce::var actionObject (const char* name, std::initializer_list<std::pair<const char*, juce::var>> fields = {})
{
    auto object = makeObject ({ { "action", name } });
    for (const auto& [key, value] : fields)
        object.getDynamicObject()->setProperty (key, value);
    return object;
}
} // namespace quorvelle::test
