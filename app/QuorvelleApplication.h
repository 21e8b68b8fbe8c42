#pragma once

#include "app/MainComponent.h"
#include "platform/FrontEndHost.h"
#include "platform/SingleInstance.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

namespace quorvelle
{
// The application object: one instance per application-data folder. With `--bridge-stdio` the
// MainComponent runs alone on the stdio host; otherwise on the loopback host, inside a frameless
// main window when there is a display, alone without one.
class QuorvelleApplication final : public juce::JUCEApplication
{
public:
    class MainWindow;

    QuorvelleApplication();
    ~QuorvelleApplication() override;

    const juce::String getApplicationName() override { return "Quorvelle"; }
    const juce::String getApplicationVersion() override { return "1.0.0"; }
    // JUCE's own single-instance lock on Linux is machine-wide and never tells the running copy,
    // so the application enforces one instance itself (platform::SingleInstance).
    bool moreThanOneInstanceAllowed() override { return true; }
    void initialise (const juce::String& commandLine) override;
    void shutdown() override;
    void anotherInstanceStarted (const juce::String& commandLine) override;
    void systemRequestedQuit() override;

    // True when the front end is driven through stdin and stdout (`--bridge-stdio`); every other
    // run serves it to a browser on 127.0.0.1.
    static bool usesStdioHost (const juce::StringArray& arguments);

    std::unique_ptr<MainWindow> mainWindow;

private:
    std::unique_ptr<platform::SingleInstance> singleInstance;
    std::unique_ptr<platform::FrontEndHost> host;
    std::unique_ptr<MainComponent> headlessComponent;
};

// The frameless, resizable main window; its content is the MainComponent.
class QuorvelleApplication::MainWindow final : public juce::DocumentWindow
{
public:
    MainWindow (const juce::String& name, platform::FrontEndHost& host);

    void closeButtonPressed() override;
    void minimisationStateChanged (bool isNowMinimised) override;
};

// Routes SIGTERM and SIGINT to the application's systemRequestedQuit on the message thread.
void installQuitSignalHandlers();
void removeQuitSignalHandlers();
} // namespace quorvelle
