// Process entry: the JUCE application object runs the program.
#include "app/QuorvelleApplication.h"

namespace
{
juce::JUCEApplicationBase* createQuorvelleApplication()
{
    return new quorvelle::QuorvelleApplication();
}
} // namespace

int main (int argc, char* argv[])
{
    juce::StringArray arguments;
    for (int i = 1; i < argc; ++i)
        arguments.add (juce::CharPointer_UTF8 (argv[i]));

    // Events get their own copy of stdout before anything else can write to it.
    if (quorvelle::QuorvelleApplication::usesStdioHost (arguments))
        quorvelle::platform::StdioFrontEndHost::reserveStdoutForEvents();

    juce::JUCEApplicationBase::createInstance = &createQuorvelleApplication;
    return juce::JUCEApplicationBase::main (argc, (const char**) argv);
}
