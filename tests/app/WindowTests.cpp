// The main window on a real X display (the test runs under xvfb-run).
#include "app/QuorvelleApplication.h"
#include "tests/support/MessageLoop.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>

namespace quorvelle::test
{
namespace
{
TEST (MainWindow, OpensFramelessAtTheContentSizeWithItsLimits)
{
    // Without a window manager some window properties name atoms that do not exist; the program
    // (a standalone JUCE application) ignores such errors, and so must the test process.
    XSetErrorHandler ([] (Display*, XErrorEvent*) { return 0; });
    ASSERT_NE (juce::Desktop::getInstance().getDisplays().getPrimaryDisplay(), nullptr) << "no display: run under xvfb-run -a";

    platform::RecordingFrontEndHost host;
    QuorvelleApplication::MainWindow window ("Quorvelle", host);

    auto* content = dynamic_cast<MainComponent*> (window.getContentComponent());
    ASSERT_NE (content, nullptr);
    EXPECT_EQ (content->getWidth(), 1280);
    EXPECT_EQ (content->getHeight(), 720);
    EXPECT_TRUE (window.isOnDesktop());
    EXPECT_TRUE (window.isVisible());
    EXPECT_FALSE (window.isUsingNativeTitleBar());
    EXPECT_EQ (window.getTitleBarHeight(), 0);
    EXPECT_EQ (window.getName(), "Quorvelle");
    EXPECT_TRUE (window.isResizable());

    auto* limits = window.getConstrainer();
    ASSERT_NE (limits, nullptr);
    EXPECT_EQ (limits->getMinimumWidth(), 1024);
    EXPECT_EQ (limits->getMinimumHeight(), 768);
    EXPECT_EQ (limits->getMaximumWidth(), 8192);
    EXPECT_EQ (limits->getMaximumHeight(), 8192);

    // Closing the window asks the front end first instead of ending the program.
    window.closeButtonPressed();
    EXPECT_TRUE (content->isQuitRequested());
    content->waitForStartupThread();
}
} // namespace
} // namespace quorvelle::test
