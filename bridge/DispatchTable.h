#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <map>

namespace quorvelle
{
// How an action is carried out once it passed the frame:
// - inlineCall: inside the dispatcher, on the message thread, before it returns;
// - posted: as a closure on a later turn of the message loop, in posting order;
// - job: on a new thread; the job posts its result back to the message thread.
enum class DispatchMode
{
    inlineCall,
    posted,
    job
};

// The action names the dispatcher knows, each with its mode and its handler. The families of
// actions register here; a name registered twice keeps its first entry, as the dispatcher runs
// the first that matches.
class DispatchTable
{
public:
    using Handler = std::function<void (const juce::var& message)>;

    struct Entry
    {
        DispatchMode mode;
        Handler handler;
    };

    // Registers `handler` for each name (names that share one branch pass several).
    void add (std::initializer_list<const char*> actionNames, DispatchMode mode, Handler handler);
    void add (const juce::String& actionName, DispatchMode mode, Handler handler);

    const Entry* find (const juce::String& action) const;
    bool contains (const juce::String& action) const { return find (action) != nullptr; }

private:
    std::map<juce::String, Entry> entries;
};
} // namespace quorvelle
