// Process entry: the JUCE application object and its main window.
#include <juce_gui_basics/juce_gui_basics.h>

#include <csignal>

namespace
{
class QuorvelleApplication final : public juce::JUCEApplication
{
public:
    const juce::String getApplicationName() override { return "Quorvelle"; }
    const juce::String getApplicationVersion() override { return "0.1.0"; }
    bool moreThanOneInstanceAllowed() override { return false; }

    void initialise (const juce::String&) override
    {
        // JUCE writes to sockets without MSG_NOSIGNAL: a closed peer must not end the process.
        std::signal (SIGPIPE, SIG_IGN);

        if (juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() != nullptr)
            mainWindow = std::make_unique<MainWindow> (getApplicationName());
    }

    void shutdown() override { mainWindow.reset(); }
    void systemRequestedQuit() override { quit(); }

private:
    class MainWindow final : public juce::DocumentWindow
    {
    public:
        explicit MainWindow (const juce::String& name)
            : DocumentWindow (name, juce::Colours::black, 0)
        {
            setUsingNativeTitleBar (false);
            setTitleBarHeight (0);
            setResizable (true, false);
            setResizeLimits (1024, 768, 8192, 8192);
            centreWithSize (1280, 720);
            setVisible (true);
        }

        void closeButtonPressed() override { juce::JUCEApplication::getInstance()->systemRequestedQuit(); }
    };

    std::unique_ptr<MainWindow> mainWindow;
};
} // namespace

START_JUCE_APPLICATION (QuorvelleApplication)
