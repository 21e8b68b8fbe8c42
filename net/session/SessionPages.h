#pragma once

#include <string>
#include <string_view>

namespace quorvelle::sessionpages
{
// The built-in pages, embedded from pages/ at build time.
std::string_view accessCodePage();
// The chord viewer with `code` built into its script (only A-Z and 0-9 are kept).
std::string chordViewerPage (std::string_view code);
} // namespace quorvelle::sessionpages
