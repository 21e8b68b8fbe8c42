#include "net/session/SessionPages.h"

#include <cstddef>

namespace quorvelle::sessionpages
{
namespace data
{
extern const unsigned char accessCodeBytes[], chordViewerBytes[];
extern const size_t accessCodeBytesSize, chordViewerBytesSize;
} // namespace data

std::string_view accessCodePage()
{
    return { reinterpret_cast<const char*> (data::accessCodeBytes), data::accessCodeBytesSize };
}

std::string chordViewerPage (std::string_view code)
{
    std::string kept;
    for (const auto c : code)
        if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            kept += c;

    std::string page (reinterpret_cast<const char*> (data::chordViewerBytes), data::chordViewerBytesSize);
    static constexpr std::string_view marker = "%%TOKEN%%";
    if (const auto at = page.find (marker); at != std::string::npos)
        page.replace (at, marker.size(), kept);
    return page;
}
} // namespace quorvelle::sessionpages
