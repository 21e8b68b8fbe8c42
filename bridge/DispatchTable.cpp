#include "bridge/DispatchTable.h"

namespace quorvelle
{
void DispatchTable::add (std::initializer_list<const char*> actionNames, DispatchMode mode, Handler handler)
{
    for (auto* name : actionNames)
        add (juce::String (name), mode, handler);
}

void DispatchTable::add (const juce::String& actionName, DispatchMode mode, Handler handler)
{
    entries.try_emplace (actionName, Entry { mode, std::move (handler) });
}

const DispatchTable::Entry* DispatchTable::find (const juce::String& action) const
{
    const auto it = entries.find (action);
    return it == entries.end() ? nullptr : &it->second;
}
} // namespace quorvelle
