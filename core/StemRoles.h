#pragma once

#include <string>
#include <string_view>

namespace quorvelle::core
{
// Bus groups whose material keeps its pitch under a transposition.
bool isUnpitchedBusGroup (std::string_view groupName);

// Whether a stem keeps its pitch, from its instrument type and its display name.
bool isUnpitchedTrack (std::string_view instrumentType, std::string_view name);

// One byte per input character: ASCII letters lowered, the Spanish accented letters (UTF-8, lead
// byte 0xC3) folded to their base letter, everything else a space.
std::string foldTrackName (std::string_view text);
} // namespace quorvelle::core
