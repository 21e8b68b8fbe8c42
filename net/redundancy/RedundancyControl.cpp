// The control link: the primary listens on TCP 8771 and serves one standby at a time; the standby
// connects and keeps trying while it has no link. Frames are a big-endian length and JSON text.
#include "net/redundancy/RedundancyThreads.h"

#include "platform/wire/SocketIo.h"

namespace quorvelle
{
using namespace redundancy;

namespace
{
constexpr int controlWriteBoundMs = 2000;
constexpr int connectAttemptMs = 100;
constexpr int connectWindowMs = 5000;
constexpr int reconnectPauseMs = 1000;

juce::String songIdText (const RedundancyEngineSeam::State& state)
{
    return juce::String::fromUTF8 (state.songId.data());
}
} // namespace

void RedundancyEngine::ControlThread::run()
{
    if (isPrimary)
        runPrimary();
    else
        runStandby();
}

void RedundancyEngine::ControlThread::runPrimary()
{
    juce::StreamingSocket listener;
    if (! listener.createListener (controlPort))
    {
        owner.reportError (juce::String (juce::CharPointer_UTF8 ("No se pudo abrir el puerto de control (")) + juce::String (controlPort)
                           + juce::String (juce::CharPointer_UTF8 ("). \xc2\xbf" "Otra app lo est\xc3\xa1 usando?")));
        return;
    }
    while (! shouldStop() && owner.enabled.load())
    {
        if (pollReadable (listener.getRawSocketHandle(), 100) != 1)
            continue;
        std::unique_ptr<juce::StreamingSocket> accepted (listener.waitForNextConnection());
        if (accepted == nullptr)
            continue;
        auto* socket = accepted.get();
        {
            const juce::ScopedLock sl (owner.controlSendLock);
            owner.controlSocket = std::move (accepted);
        }
        receiveBuffer.clear();
        juce::Logger::writeToLog ("[Redundancy] Control: standby connected via TCP");
        sendSongSync();
        serveLink (*socket, true);
    }
    listener.close();
}

void RedundancyEngine::ControlThread::runStandby()
{
    bool failureLogged = false;
    while (! shouldStop() && owner.enabled.load())
    {
        auto socket = connectToPrimary();
        if (socket == nullptr)
        {
            if (shouldStop())
                return;
            if (! failureLogged)
                juce::Logger::writeToLog ("[Redundancy] Control: failed to connect to primary TCP");
            failureLogged = true;
            if (! sleepFor (reconnectPauseMs))
                return;
            continue;
        }
        auto* link = socket.get();
        {
            const juce::ScopedLock sl (owner.controlSendLock);
            owner.controlSocket = std::move (socket);
        }
        receiveBuffer.clear();
        juce::Logger::writeToLog ("[Redundancy] Control: connected to primary TCP");
        serveLink (*link, false);
        if (! sleepFor (reconnectPauseMs))
            return;
    }
}

// Attempts of at most 100 ms each (a blocking connect could not be cut short by a stop) for up to
// five seconds; a refused attempt waits out its slice before the next.
std::unique_ptr<juce::StreamingSocket> RedundancyEngine::ControlThread::connectToPrimary()
{
    const auto ip = owner.copyPeerIp();
    if (ip.isEmpty())
        return nullptr;
    const auto start = juce::Time::getMillisecondCounter();
    while (! shouldStop() && (int) (juce::Time::getMillisecondCounter() - start) < connectWindowMs)
    {
        const auto attemptStart = juce::Time::getMillisecondCounter();
        auto socket = std::make_unique<juce::StreamingSocket>();
        if (socket->connect (ip, controlPort, connectAttemptMs))
            return socket;
        const auto spent = (int) (juce::Time::getMillisecondCounter() - attemptStart);
        if (spent < connectAttemptMs && ! sleepFor (connectAttemptMs - spent))
            return nullptr;
    }
    return nullptr;
}

void RedundancyEngine::ControlThread::serveLink (juce::StreamingSocket& socket, bool servingPrimary)
{
    auto lastSongId = songIdText (owner.readState());
    while (! shouldStop() && owner.enabled.load())
    {
        if (! socket.isConnected())
        {
            juce::Logger::writeToLog ("[Redundancy] Control: peer disconnected");
            return;
        }
        const auto ready = pollReadable (socket.getRawSocketHandle(), 100);
        if (ready != 0 && ! readFrames (socket))
        {
            juce::Logger::writeToLog ("[Redundancy] Control: peer disconnected");
            return;
        }
        if (servingPrimary)
        {
            const auto songId = songIdText (owner.readState());
            if (songId.isNotEmpty() && songId != lastSongId)
            {
                lastSongId = songId;
                sendSongSync();
            }
        }
    }
}

void RedundancyEngine::ControlThread::sendSongSync()
{
    const auto state = owner.readState();
    const auto songId = songIdText (state);
    if (songId.isEmpty())
        return;
    owner.sendControlFrame (songSyncMessage (owner.auth.load(), songId, state.bpm, state.positionSeconds, state.playing));
    juce::Logger::writeToLog ("[Redundancy] Control: sent SONG_SYNC for " + songId);
}

bool RedundancyEngine::ControlThread::readFrames (juce::StreamingSocket& socket)
{
    char chunk[4096];
    const auto received = socket.isConnected() ? socket.read (chunk, (int) sizeof chunk, false) : -1;
    if (received <= 0)
        return false;
    receiveBuffer.append (chunk, (size_t) received);
    for (;;)
    {
        juce::String text;
        const auto result = receiveBuffer.next (text);
        if (result == FrameDecoder::Result::needMore)
            return true;
        if (result == FrameDecoder::Result::invalid)
        {
            juce::Logger::writeToLog (juce::String (juce::CharPointer_UTF8 ("[Redundancy] Control: frame inv\xc3\xa1lido ("))
                                      + juce::String ((juce::int64) receiveBuffer.invalidLength)
                                      + juce::String (juce::CharPointer_UTF8 (" bytes) \xe2\x80\x94 cerrando conexi\xc3\xb3n")));
            owner.closeControlLink();
            return false;
        }
        handleControlMessage (text);
    }
}

void RedundancyEngine::ControlThread::handleControlMessage (const juce::String& text)
{
    const auto received = readControlMessage (text, owner.auth.load());
    const auto field = [&] (const char* key) { return received.message.getProperty (key, juce::var()).toString(); };
    switch (received.kind)
    {
        case ControlMessage::Kind::ignored:
            return;
        case ControlMessage::Kind::badToken:
            juce::Logger::writeToLog (juce::String (juce::CharPointer_UTF8 ("[Redundancy] Control: mensaje con token inv\xc3\xa1lido \xe2\x80\x94 ignorado")));
            return;
        case ControlMessage::Kind::shutdown:
            juce::Logger::writeToLog ("[Redundancy] Control: peer sent graceful SHUTDOWN");
            owner.failover ("peer_shutdown");
            return;
        case ControlMessage::Kind::songSync:
        {
            juce::Logger::writeToLog ("[Redundancy] Control: received SONG_SYNC for " + field ("songId"));
            if (! owner.eventSink)
                return;
            const auto& m = received.message;
            owner.emit (makeObject ({ { "action", "REDUNDANCY_SONG_SYNC" },
                                      { "songId", field ("songId") },
                                      { "bpm", (double) m.getProperty ("bpm", 0.0) },
                                      { "position", (double) m.getProperty ("position", 0.0) },
                                      { "isPlaying", (bool) m.getProperty ("isPlaying", false) } }));
            return;
        }
        case ControlMessage::Kind::manifest:
            if (owner.eventSink)
                owner.emit (makeObject ({ { "action", "REDUNDANCY_MANIFEST_RECEIVED" }, { "manifest", field ("manifest") } }));
            return;
        case ControlMessage::Kind::songNack:
            if (owner.eventSink)
                owner.emit (makeObject ({ { "action", "REDUNDANCY_SONG_NACK_RECEIVED" }, { "songId", field ("songId") }, { "title", field ("title") } }));
            return;
    }
}

//==============================================================================
bool RedundancyEngine::sendControlFrame (const juce::String& json)
{
    const juce::ScopedLock sl (controlSendLock);
    if (controlSocket == nullptr || ! controlSocket->isConnected())
        return false;
    // A peer that stops reading must not hold the writer (the message thread, at disable) for long.
    if (platform::wire::writeAll (*controlSocket, encodeFrame (json), nullptr, controlWriteBoundMs))
        return true;
    controlSocket->close();
    return false;
}

void RedundancyEngine::closeControlLink()
{
    const juce::ScopedLock sl (controlSendLock);
    if (controlSocket != nullptr)
        controlSocket->close();
}
} // namespace quorvelle
