#include "app/MainComponent.h"

#include "platform/StorageRoot.h"

namespace quorvelle
{
namespace
{
// The local file a CHECK_LOCAL_FILES item names: a "file://" URL, or an absolute path.
juce::File localFileOf (const juce::String& path)
{
    if (path.startsWith ("file://"))
        return juce::URL (path).getLocalFile();
    return juce::File::isAbsolutePath (path) ? juce::File (path) : juce::File();
}
} // namespace

// The sign-in listener and the cloud actions. None is gated; all run inline on the message thread.
void MainComponent::registerCloudActions()
{
    dispatchTable.add ("START_OAUTH_LISTENER", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const auto id = message.getProperty ("id", {}).toString();
        const bool started = oauthServer.start ([this, weak = std::weak_ptr<Liveness> (liveness)] (const juce::String& url)
        {
            if (weak.lock() != nullptr)
                emitOAuthCallback (url);
        });

        auto answer = makeObject ({ { "action", "OAUTH_LISTENER_STARTED" }, { "id", id } });
        if (started)
            answer.getDynamicObject()->setProperty ("redirectUri", oauthServer.getRedirectUri());
        else
            answer.getDynamicObject()->setProperty ("error", "No se pudo abrir un puerto local para el login.");
        emitFromNative ("fromNative", answer);

        juce::Logger::writeToLog (started ? "[OAuth] listener started -> " + oauthServer.getRedirectUri() : juce::String ("[OAuth] FAILED to bind loopback listener"));
    });

    dispatchTable.add ("SET_CLOUD_CONFIG", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        // "workspaceId" is read and plays no part: each upload carries its job's own.
        const auto text = [&message] (const char* key) { return message.getProperty (key, {}).toString(); };
        uploadWorker.setConfig (text ("supabaseUrl"), text ("anonKey"), text ("authToken"));
        downloadWorker.setConfig (text ("supabaseUrl"), text ("anonKey"), text ("authToken"));
    });

    dispatchTable.add ("GET_UPLOAD_QUEUE", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const auto id = message.getProperty ("id", {}).toString();
        juce::Array<juce::var> jobs;
        for (const auto& job : uploadQueue.snapshot())
            jobs.add (job.toVar());
        const juce::var jobsVar (jobs);
        sendDirect (makeObject ({ { "action", "UPLOAD_QUEUE_SNAPSHOT" }, { "id", id }, { "jobs", jobsVar }, { "count", jobs.size() } }));
        typedBridge->sendUploadQueueSnapshot (id.toStdString(), juce::JSON::toString (jobsVar).toStdString(), jobs.size());
    });

    dispatchTable.add ("ENQUEUE_UPLOAD", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        auto job = cloud::uploadJobFromRequest (message);
        if (const auto refusal = cloud::uploadRequestRefusal (job); refusal.isNotEmpty())
        {
            juce::Logger::writeToLog (refusal);
            return;
        }
        uploadQueue.enqueue (std::move (job));
        uploadWorker.wake();
    });

    dispatchTable.add ("ENQUEUE_DOWNLOAD", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        auto job = cloud::downloadJobFromRequest (message);
        if (const auto refusal = cloud::downloadRequestRefusal (job); refusal.isNotEmpty())
        {
            juce::Logger::writeToLog (refusal);
            return;
        }
        downloadWorker.enqueue (std::move (job));
    });

    dispatchTable.add ("CHECK_LOCAL_FILES", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const auto id = message.getProperty ("id", {}).toString();
        const auto requested = message.getProperty ("items", {});

        juce::Array<juce::var> items;
        std::vector<TypedBridge::LocalFileStatus> typed;
        if (requested.isArray())
        {
            for (const auto& item : *requested.getArray())
            {
                const auto trackId = item.getProperty ("trackId", {}).toString();
                const auto path = item.getProperty ("path", {}).toString();
                const auto file = path.isEmpty() ? juce::File() : localFileOf (path);
                const bool exists = file != juce::File() && file.existsAsFile();
                const juce::int64 size = exists ? file.getSize() : 0;
                items.add (makeObject ({ { "trackId", trackId }, { "exists", exists }, { "sizeBytes", size } }));
                typed.push_back ({ trackId.toStdString(), exists, size });
            }
        }
        sendDirect (makeObject ({ { "action", "LOCAL_FILES_STATUS" }, { "id", id }, { "items", items } }));
        typedBridge->sendLocalFilesStatus (id.toStdString(), typed);
    });
}
} // namespace quorvelle
