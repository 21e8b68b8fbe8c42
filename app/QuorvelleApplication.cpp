#include "app/QuorvelleApplication.h"

#include "platform/CrashDumps.h"
#include "platform/LoopbackFrontEndHost.h"
#include "platform/Opener.h"
#include "platform/StorageRoot.h"
#include "platform/UpdateLibrary.h"
#include "platform/VirtualAudioDevice.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace quorvelle
{
namespace
{
int quitSignalPipe[2] { -1, -1 };

void onQuitSignal (int)
{
    const int saved = errno;
    if (quitSignalPipe[1] >= 0)
    {
        const char byte = 1;
        [[maybe_unused]] auto n = ::write (quitSignalPipe[1], &byte, 1);
    }
    errno = saved;
}
} // namespace

void installQuitSignalHandlers()
{
    if (quitSignalPipe[0] >= 0 || ::pipe2 (quitSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;

    // The message loop watches the pipe; the handler itself only writes one byte.
    juce::LinuxEventLoop::registerFdCallback (quitSignalPipe[0], [] (int fd)
    {
        char buffer[64];
        while (::read (fd, buffer, sizeof (buffer)) > 0) {}
        if (auto* app = juce::JUCEApplicationBase::getInstance())
            app->systemRequestedQuit();
    });

    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset (&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction (SIGTERM, &action, nullptr);
    ::sigaction (SIGINT, &action, nullptr);
}

void removeQuitSignalHandlers()
{
    if (quitSignalPipe[0] < 0)
        return;
    std::signal (SIGTERM, SIG_DFL);
    std::signal (SIGINT, SIG_DFL);
    juce::LinuxEventLoop::unregisterFdCallback (quitSignalPipe[0]);
    ::close (quitSignalPipe[0]);
    ::close (quitSignalPipe[1]);
    quitSignalPipe[0] = quitSignalPipe[1] = -1;
}

//==============================================================================
QuorvelleApplication::QuorvelleApplication() = default;
QuorvelleApplication::~QuorvelleApplication() = default;

bool QuorvelleApplication::usesStdioHost (const juce::StringArray& arguments)
{
    return arguments.contains ("--bridge-stdio");
}

void QuorvelleApplication::initialise (const juce::String& commandLine)
{
    qvu_app_run (nullptr);
    platform::installCrashHandler (platform::crashFolderOfStorageRoot());

    // JUCE writes to sockets without MSG_NOSIGNAL: a closed peer must not end the process.
    std::signal (SIGPIPE, SIG_IGN);

    const auto arguments = juce::StringArray::fromTokens (commandLine, true);
    const bool stdio = usesStdioHost (arguments);
    if (stdio)
        platform::StdioFrontEndHost::reserveStdoutForEvents();

    singleInstance = std::make_unique<platform::SingleInstance> (getApplicationDataFolder());
    switch (singleInstance->acquireOrHandOver (commandLine))
    {
        case platform::SingleInstance::Outcome::handedOver:
            juce::Logger::writeToLog ("Quorvelle is already running: command line handed over, exiting");
            singleInstance.reset();
            setApplicationReturnValue (0);
            quit();
            return;

        case platform::SingleInstance::Outcome::busy:
            juce::Logger::writeToLog ("Quorvelle: another instance holds " + singleInstance->getLockFile().getFullPathName()
                                      + " and does not answer; exiting");
            singleInstance.reset();
            setApplicationReturnValue (1);
            quit();
            return;

        case platform::SingleInstance::Outcome::failed:
            juce::Logger::writeToLog ("Quorvelle: cannot take the single-instance lock: " + singleInstance->getFailureText() + "; exiting");
            singleInstance.reset();
            setApplicationReturnValue (1);
            quit();
            return;

        case platform::SingleInstance::Outcome::primary:
            break;
    }
    singleInstance->setCommandLineCallback ([this] (const juce::String& line) { anotherInstanceStarted (line); });

    installQuitSignalHandlers();

    // A chosen virtual device plays in real time in the program; kept output would grow without end.
    platform::VirtualAudioDevices::instance().setClock (platform::VirtualAudioDevices::Clock::realTime);
    platform::VirtualAudioDevices::instance().setCaptureEnabled (false);

    if (stdio)
    {
        auto stdioHost = std::make_unique<platform::StdioFrontEndHost> ([]
        {
            // End of input is the operating system's quit request.
            if (auto* app = juce::JUCEApplicationBase::getInstance())
                app->systemRequestedQuit();
        });
        auto* raw = stdioHost.get();
        host = std::move (stdioHost);
        headlessComponent = std::make_unique<MainComponent> (*host);
        raw->start();
        return;
    }

    // Every other run serves the front end to a browser on 127.0.0.1, with a window when there is
    // a display to open one on.
    auto loopback = std::make_unique<platform::LoopbackFrontEndHost> (platform::frontEndPortFromArguments (arguments));
    if (loopback->start() && arguments.contains ("--open-browser"))
        platform::openWithDesktop (loopback->getStartUrl());
    host = std::move (loopback);

    MainComponent* component = nullptr;
    if (juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() != nullptr)
    {
        mainWindow = std::make_unique<MainWindow> (getApplicationName(), *host);
        component = dynamic_cast<MainComponent*> (mainWindow->getContentComponent());
    }
    else
    {
        headlessComponent = std::make_unique<MainComponent> (*host);
        component = headlessComponent.get();
    }
    // A new page numbers its messages from the start again.
    if (component != nullptr)
        host->setNewPageListener ([component] { component->forgetSeenMessageIds(); });
}

void QuorvelleApplication::shutdown()
{
    if (host != nullptr)
        host->setNewPageListener ({});
    mainWindow.reset();
    headlessComponent.reset();
    host.reset();
    removeQuitSignalHandlers();
    singleInstance.reset();
}

void QuorvelleApplication::anotherInstanceStarted (const juce::String&)
{
    if (mainWindow != nullptr)
    {
        mainWindow->setMinimised (false);
        mainWindow->toFront (true);
    }
}

void QuorvelleApplication::systemRequestedQuit()
{
    quit();
}

//==============================================================================
QuorvelleApplication::MainWindow::MainWindow (const juce::String& name, platform::FrontEndHost& host)
    : DocumentWindow (name, juce::LookAndFeel::getDefaultLookAndFeel().findColour (juce::ResizableWindow::backgroundColourId), 0, true)
{
    setUsingNativeTitleBar (false);
    setTitleBarHeight (0);
    setContentOwned (new MainComponent (host), true);
    // The limits below would stretch the window at once: keep the content's own size (1280 x 720).
    const auto contentWidth = getContentComponent()->getWidth();
    const auto contentHeight = getContentComponent()->getHeight();
    setResizable (true, true);
    setResizeLimits (1024, 768, 8192, 8192);
    const auto border = getContentComponentBorder();
    centreWithSize (contentWidth + border.getLeftAndRight(), contentHeight + border.getTopAndBottom());
    setVisible (true);
}

void QuorvelleApplication::MainWindow::closeButtonPressed()
{
    if (auto* content = dynamic_cast<MainComponent*> (getContentComponent()))
        content->requestQuit();
    else if (auto* app = juce::JUCEApplicationBase::getInstance())
        app->systemRequestedQuit();
}

void QuorvelleApplication::MainWindow::minimisationStateChanged (bool isNowMinimised)
{
    if (isNowMinimised)
        return;

    // Coming back from the taskbar: draw the content again at its full size.
    if (auto* content = getContentComponent(); content != nullptr && content->getWidth() > 0 && content->getHeight() > 0)
        content->repaint();
}
} // namespace quorvelle
