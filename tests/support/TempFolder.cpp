#include "tests/support/TempFolder.h"

namespace quorvelle::test
{
TempFolder::TempFolder()
    : dir (juce::File::getSpecialLocation (juce::File::tempDirectory)
               .getNonexistentChildFile ("quorvelle-test", "", false))
{
    dir.createDirectory();
}

TempFolder::~TempFolder()
{
    dir.deleteRecursively();
}
} // namespace quorvelle::test
