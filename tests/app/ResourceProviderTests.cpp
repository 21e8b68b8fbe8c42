// The resource provider: routes, MIME types, headers, refusals, the size cap and the decipher.
#include "platform/AssetFiles.h"
#include "app/MainComponent.h"
#include "tests/bridge/BridgeTestSupport.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace quorvelle::test
{
namespace
{
const juce::String providerRoot = "https://juce.backend/";

class ResourceProvider : public ::testing::Test
{
protected:
    void SetUp() override
    {
        frontend.createDirectory();
        root.createDirectory();
    }

    std::optional<platform::FrontEndResource> serve (const juce::String& path) const
    {
        return MainComponent::serveResourceFrom (path, frontend, root, providerRoot);
    }

    static void write (const juce::File& file, const juce::String& text)
    {
        file.getParentDirectory().createDirectory();
        ASSERT_TRUE (file.replaceWithText (text, false, false, nullptr));
    }

    static juce::String bodyOf (const platform::FrontEndResource& r)
    {
        return juce::String::fromUTF8 (reinterpret_cast<const char*> (r.data.data()), (int) r.data.size());
    }

    // Sizes a file without writing its bytes (a sparse file reads back as zeros).
    static void makeSized (const juce::File& file, juce::int64 size)
    {
        ASSERT_TRUE (file.create());
        ASSERT_EQ (::truncate (file.getFullPathName().toRawUTF8(), (off_t) size), 0);
    }

    TempFolder temp;
    juce::File frontend = temp / "frontend";
    juce::File root = temp / "root";
    CapturingLogger logger;
};

TEST_F (ResourceProvider, MimeTypesOfBothRoutes)
{
    struct Case { juce::String file; bool local; juce::String mime; };
    const std::vector<Case> cases {
        { "page.html", false, "text/html" }, { "app.js", false, "text/javascript" }, { "mod.mjs", false, "text/javascript" },
        { "s.css", false, "text/css" }, { "d.json", false, "application/json" }, { "i.svg", false, "image/svg+xml" },
        { "i.png", false, "image/png" }, { "i.JPG", false, "image/jpeg" }, { "i.jpeg", false, "image/jpeg" },
        { "i.webp", false, "image/webp" }, { "f.ico", false, "image/x-icon" }, { "f.woff2", false, "font/woff2" },
        { "f.woff", false, "font/woff" }, { "f.ttf", false, "font/ttf" }, { "f.wav", false, "application/octet-stream" },
        { "noext", false, "application/octet-stream" },
        { "a.wav", true, "audio/wav" }, { "a.flac", true, "audio/flac" }, { "a.MP3", true, "audio/mpeg" },
        { "a.aac", true, "audio/aac" }, { "a.m4a", true, "audio/aac" }, { "a.ogg", true, "audio/ogg" },
        { "p.jpg", true, "image/jpeg\nCache-Control: max-age=3600" }, { "p.jpeg", true, "image/jpeg\nCache-Control: max-age=3600" },
        { "p.png", true, "image/png\nCache-Control: max-age=3600" }, { "p.webp", true, "image/webp\nCache-Control: max-age=3600" },
        { "p.gif", true, "image/gif\nCache-Control: max-age=3600" }, { "x.svg", true, "application/octet-stream" },
        { "x.html", true, "application/octet-stream" }, { "dir.v2/noext", true, "application/octet-stream" },
    };

    for (const auto& c : cases)
    {
        write ((c.local ? root : frontend).getChildFile (c.file), "x");
        const auto r = serve ((c.local ? "/localfile/" : "/") + c.file);
        ASSERT_TRUE (r.has_value()) << c.file;
        if (c.file == "page.html")
            EXPECT_TRUE (r->mimeType.startsWith ("text/html\nContent-Security-Policy: ")) << r->mimeType;
        else
            EXPECT_EQ (r->mimeType, c.mime) << c.file;
        EXPECT_EQ (bodyOf (*r), "x");
    }
}

TEST_F (ResourceProvider, RootServesIndexWithContentSecurityPolicy)
{
    write (frontend.getChildFile ("index.html"), "<html>home</html>");
    const auto r = serve ("/");
    ASSERT_TRUE (r.has_value());
    EXPECT_EQ (bodyOf (*r), "<html>home</html>");

    const auto lines = juce::StringArray::fromLines (r->mimeType);
    ASSERT_EQ (lines.size(), 2);
    EXPECT_EQ (lines[0], "text/html");
    EXPECT_EQ (lines[1],
               "Content-Security-Policy: default-src 'self'; base-uri 'self'; object-src 'none'; frame-ancestors 'none'; "
               "script-src 'self'; style-src 'self' 'unsafe-inline'; font-src 'self' data:; "
               "img-src 'self' data: blob: https://juce.backend; media-src 'self' blob: https://juce.backend; "
               "worker-src 'self' blob:; connect-src 'self' https://juce.backend; frame-src 'none'");

    // A query string is part of the path and names no file.
    EXPECT_FALSE (serve ("/index.html?v=2").has_value());
    EXPECT_FALSE (serve ("/missing.js").has_value());
    (frontend.getChildFile ("folder.js")).createDirectory();
    EXPECT_FALSE (serve ("/folder.js").has_value());
}

TEST_F (ResourceProvider, LocalFileNamesDecodePlusAndPercent)
{
    write (root.getChildFile ("Songs/my song.wav"), "audio");
    write (root.getChildFile (juce::String (juce::CharPointer_UTF8 ("Songs/canci\xc3\xb3n.flac"))), "flac");

    for (const auto* path : { "/localfile/Songs/my+song.wav", "/localfile/Songs/my%20song.wav", "/localfile/Songs%2Fmy%20song.wav" })
    {
        const auto r = serve (path);
        ASSERT_TRUE (r.has_value()) << path;
        EXPECT_EQ (bodyOf (*r), "audio");
        EXPECT_EQ (r->mimeType, "audio/wav");
    }
    EXPECT_TRUE (serve ("/localfile/Songs/canci%C3%B3n.flac").has_value());

    // Bytes that decode to no valid text, a bare "%", and an empty rest.
    EXPECT_FALSE (serve ("/localfile/Songs/%FF.wav").has_value());
    EXPECT_FALSE (serve ("/localfile/Songs/my%2").has_value());
    EXPECT_FALSE (serve ("/localfile/").has_value());
    EXPECT_FALSE (serve ("/localfile/Songs").has_value());
}

TEST_F (ResourceProvider, DotDotAndOutsidePathsAreRefused)
{
    write (root.getChildFile ("a..b.png"), "x");
    write (root.getChildFile ("Songs/t.wav"), "x");
    write (frontend.getChildFile ("a..b.js"), "x");
    write (frontend.getChildFile ("index.html"), "x");
    write (temp / "outside.wav", "secret");

    for (const auto* path : { "/localfile/a..b.png", "/localfile/Songs/../Songs/t.wav", "/localfile/%2E%2E/outside.wav",
                              "/localfile/../outside.wav", "/a..b.js", "/sub/../index.html", "/../outside.wav" })
        EXPECT_FALSE (serve (path).has_value()) << path;

    // Absolute paths leave the folder without any "..".
    const auto outside = (temp / "outside.wav").getFullPathName();
    EXPECT_FALSE (serve ("/localfile/" + outside).has_value());
    EXPECT_FALSE (serve ("/" + outside).has_value());
    EXPECT_TRUE (serve ("/localfile/Songs/t.wav").has_value());
}

TEST_F (ResourceProvider, SizeCapIsInclusive)
{
    const auto atCap = root.getChildFile ("atcap.wav");
    const auto overCap = root.getChildFile ("overcap.wav");
    makeSized (atCap, 134'217'728);
    makeSized (overCap, 134'217'729);

    const auto served = serve ("/localfile/atcap.wav");
    ASSERT_TRUE (served.has_value());
    EXPECT_EQ (served->data.size(), 134'217'728u);

    EXPECT_FALSE (serve ("/localfile/overcap.wav").has_value());
    EXPECT_EQ (logger.count ("[BRIDGE-LIMIT] overcap.wav 134217729 bytes > cap 134217728"), 1);
    EXPECT_EQ (logger.count ("[BRIDGE-LIMIT]"), 1);
}

TEST_F (ResourceProvider, MarkedFrontEndIsDeciphered)
{
    const juce::String clear = "<html>secret page</html>";
    juce::MemoryBlock stored (clear.toRawUTF8(), clear.getNumBytesAsUTF8());
    decipherAsset (stored.getData(), stored.getSize(), "pages/index.html");
    (frontend.getChildFile ("pages")).createDirectory();
    ASSERT_TRUE ((frontend.getChildFile ("pages/index.html")).replaceWithData (stored.getData(), stored.getSize()));

    // Unmarked: served as stored.
    auto r = serve ("/pages/index.html");
    ASSERT_TRUE (r.has_value());
    EXPECT_EQ (r->data.size(), stored.getSize());
    EXPECT_EQ (std::memcmp (r->data.data(), stored.getData(), stored.getSize()), 0);

    write (frontend.getChildFile (".encrypted"), "");
    r = serve ("/pages/index.html");
    ASSERT_TRUE (r.has_value());
    EXPECT_EQ (bodyOf (*r), clear);

    // Files under the storage root are never deciphered.
    write (root.getChildFile (".encrypted"), "");
    ASSERT_TRUE ((root.getChildFile ("page.bin")).replaceWithData (stored.getData(), stored.getSize()));
    r = serve ("/localfile/page.bin");
    ASSERT_TRUE (r.has_value());
    EXPECT_EQ (std::memcmp (r->data.data(), stored.getData(), stored.getSize()), 0);
}

TEST_F (ResourceProvider, LibraryIsEmptyOnlyWhenNoFileExists)
{
    auto r = serve ("/library.json");
    ASSERT_TRUE (r.has_value());
    EXPECT_EQ (bodyOf (*r), "{}");
    EXPECT_EQ (r->mimeType, "application/json");

    (root.getChildFile ("library.json")).createDirectory();
    r = serve ("/library.json");
    ASSERT_TRUE (r.has_value());
    EXPECT_EQ (bodyOf (*r), "{}");
    (root.getChildFile ("library.json")).deleteRecursively();

    write (root.getChildFile ("library.json"), "{\"songs\":[1]}");
    r = serve ("/library.json");
    ASSERT_TRUE (r.has_value());
    EXPECT_EQ (bodyOf (*r), "{\"songs\":[1]}");
    EXPECT_EQ (r->mimeType, "application/json");
}

TEST_F (ResourceProvider, LibraryThatCannotBeReadWholeIsNotServed)
{
    // Over the cap: no answer at all, never "{}" (the front end would save it over the library).
    makeSized (root.getChildFile ("library.json"), 134'217'729);
    EXPECT_FALSE (serve ("/library.json").has_value());
    (root.getChildFile ("library.json")).deleteFile();

    // A file whose reported size differs from what reads back (here /proc, which reports 0).
    ASSERT_EQ (::symlink ("/proc/self/status", (root.getChildFile ("library.json")).getFullPathName().toRawUTF8()), 0);
    EXPECT_FALSE (serve ("/library.json").has_value());
}

TEST_F (ResourceProvider, ReadFileCappedReadsWholeFilesOnly)
{
    std::vector<std::byte> bytes;
    write (temp / "small.txt", "hello");
    ASSERT_TRUE (MainComponent::readFileCapped (temp / "small.txt", bytes));
    EXPECT_EQ (bytes.size(), 5u);

    write (temp / "empty.txt", "");
    ASSERT_TRUE (MainComponent::readFileCapped (temp / "empty.txt", bytes));
    EXPECT_TRUE (bytes.empty());

    EXPECT_FALSE (MainComponent::readFileCapped (temp / "missing.txt", bytes));
    EXPECT_FALSE (MainComponent::readFileCapped (juce::File ("/proc/self/status"), bytes));
    EXPECT_FALSE (MainComponent::readFileCapped (temp.folder(), bytes));
}

TEST_F (ResourceProvider, ComponentServesThroughItsHost)
{
    write (frontend.getChildFile ("index.html"), "<p>packaged</p>");
    platform::RecordingFrontEndHost host;
    MainComponent::Options options;
    options.holdEngineReadiness = true;
    options.frontendFolder = frontend;
    MainComponent component (host, options);

    // The packaged front end is loaded from the provider's root; the dev server is allowed to fetch.
    EXPECT_EQ (host.getCurrentURL(), "https://juce.backend/index.html");
    EXPECT_EQ (host.getAllowedOrigin(), "http://127.0.0.1:5173");
    const auto r = host.request ("/");
    ASSERT_TRUE (r.has_value());
    EXPECT_EQ (bodyOf (*r), "<p>packaged</p>");
    EXPECT_EQ (component.getWidth(), 1280);
    EXPECT_EQ (component.getHeight(), 720);
}

TEST_F (ResourceProvider, WithoutPackagedFrontEndTheDevelopmentServerLoads)
{
    platform::RecordingFrontEndHost host;
    MainComponent::Options options;
    options.holdEngineReadiness = true;
    options.frontendFolder = frontend;
    (frontend.getChildFile ("index.html")).createDirectory(); // a folder of that name is not the front end
    MainComponent component (host, options);
    EXPECT_EQ (host.getCurrentURL(), "http://127.0.0.1:5173/");
}
} // namespace
} // namespace quorvelle::test
