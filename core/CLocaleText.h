#pragma once

#include <cstddef>
#include <string_view>

namespace quorvelle::core
{
// White space as the C locale's isspace sees it.
constexpr bool isCLocaleSpace (char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// `text` without its leading and trailing C-locale white space.
constexpr std::string_view trimCLocaleSpace (std::string_view text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isCLocaleSpace (text[begin]))
        ++begin;
    while (end > begin && isCLocaleSpace (text[end - 1]))
        --end;
    return text.substr (begin, end - begin);
}
} // namespace quorvelle::core
