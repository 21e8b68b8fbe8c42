#include "tests/support/TempFolder.h"

#include <stdlib.h>

#include <stdexcept>
#include <string>

namespace quorvelle::test
{
namespace
{
    // Test programs run in parallel and share the temporary folder: the folder must be created
    // under a name no other process can take between the choice and the creation, so mkdtemp.
    juce::File makeUniqueFolder()
    {
        const auto parent = juce::File::getSpecialLocation (juce::File::tempDirectory);
        std::string pattern = parent.getChildFile ("quorvelle-test-XXXXXX").getFullPathName().toStdString();
        if (::mkdtemp (pattern.data()) == nullptr)
            throw std::runtime_error ("cannot create a temporary folder from " + pattern);
        return juce::File (juce::String::fromUTF8 (pattern.c_str()));
    }
} // namespace

TempFolder::TempFolder() : dir (makeUniqueFolder()) {}

TempFolder::~TempFolder()
{
    dir.deleteRecursively();
}
} // namespace quorvelle::test
