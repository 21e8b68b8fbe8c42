#pragma once

// Live-set XML written by code: the tempo, signature and locator parts the import reads, inside
// the bulk of a large real set (tracks with mixers, devices, clips, warp markers and automation).

#include <cstddef>
#include <string>

namespace quorvelle::core::test
{
struct LiveSetShape
{
    int audioTracks = 96;      // one clip per song on each track
    int midiTracks = 16;
    int songs = 30;            // clips per track
    int notesPerMidiClip = 200;
    int devicesPerTrack = 3;
    int parametersPerDevice = 24;
    int envelopesPerTrack = 4;
    int eventsPerEnvelope = 300;
    int tempoEvents = 200;
    int locators = 60;
};

namespace detail
{
    inline void parameter (std::string& x, const char* name, int id, double value)
    {
        x += "<" + std::string (name) + "><LomId Value=\"0\" /><Manual Value=\"" + std::to_string (value)
             + "\" /><MidiControllerRange><Min Value=\"0\" /><Max Value=\"1\" /></MidiControllerRange><AutomationTarget Id=\""
             + std::to_string (id) + "\"><LockEnvelope Value=\"0\" /></AutomationTarget><ModulationTarget Id=\""
             + std::to_string (id + 1) + "\"><LockEnvelope Value=\"0\" /></ModulationTarget></" + name + ">\n";
    }

    inline void mixer (std::string& x, int& id)
    {
        x += "<Mixer><LomId Value=\"0\" /><IsExpanded Value=\"true\" /><On><Manual Value=\"true\" /></On>"
             "<Sends><TrackSendHolder Id=\"0\"><Active Value=\"true\" /></TrackSendHolder></Sends>\n";
        for (const char* name : { "Speaker", "Volume", "Pan", "SplitStereoPanL", "SplitStereoPanR", "CrossFadeState", "SoloSink", "PanMode" })
            parameter (x, name, id += 2, 0.5);
        x += "</Mixer>\n";
    }

    inline void devices (std::string& x, const LiveSetShape& shape, int& id)
    {
        x += "<DeviceChain><Devices>\n";
        for (int d = 0; d < shape.devicesPerTrack; ++d)
        {
            x += "<PluginDevice Id=\"" + std::to_string (d) + "\"><LomId Value=\"0\" /><IsExpanded Value=\"true\" />"
                 "<PluginDesc><VstPluginInfo Id=\"0\"><PlugName Value=\"Channel Strip\" /><UniqueId Value=\"1315513406\" />"
                 "<Path Value=\"/usr/lib/vst/strip.so\" /></VstPluginInfo></PluginDesc><ParameterList>\n";
            for (int p = 0; p < shape.parametersPerDevice; ++p)
            {
                x += "<PluginFloatParameter Id=\"" + std::to_string (p) + "\"><ParameterName Value=\"Param " + std::to_string (p)
                     + "\" /><ParameterId Value=\"" + std::to_string (p) + "\" /><VisualIndex Value=\"" + std::to_string (p) + "\" />";
                parameter (x, "ParameterValue", id += 2, 0.25);
                x += "</PluginFloatParameter>\n";
            }
            x += "</ParameterList></PluginDevice>\n";
        }
        x += "</Devices></DeviceChain>\n";
    }

    inline void automation (std::string& x, const LiveSetShape& shape, int& id)
    {
        x += "<AutomationEnvelopes><Envelopes>\n";
        for (int e = 0; e < shape.envelopesPerTrack; ++e)
        {
            x += "<AutomationEnvelope Id=\"" + std::to_string (e) + "\"><EnvelopeTarget><PointeeId Value=\"" + std::to_string (id += 2)
                 + "\" /></EnvelopeTarget><Automation><Events>\n";
            for (int v = 0; v < shape.eventsPerEnvelope; ++v)
                x += "<FloatEvent Id=\"" + std::to_string (id++) + "\" Time=\"" + std::to_string (v * 4) + "\" Value=\""
                     + std::to_string ((v % 17) / 17.0) + "\" />\n";
            x += "</Events><AutomationTransformViewState><IsTransformPending Value=\"false\" /></AutomationTransformViewState>"
                 "</Automation></AutomationEnvelope>\n";
        }
        x += "</Envelopes></AutomationEnvelopes>\n";
    }

    inline void audioClip (std::string& x, int track, int song, int& id)
    {
        const auto start = std::to_string (song * 400);
        const auto end = std::to_string (song * 400 + 380);
        x += "<AudioClip Id=\"" + std::to_string (id++) + "\" Time=\"" + start + "\"><LomId Value=\"0\" /><LomIdView Value=\"0\" />"
             "<CurrentStart Value=\"" + start + "\" /><CurrentEnd Value=\"" + end + "\" /><Loop><LoopStart Value=\"0\" />"
             "<LoopEnd Value=\"380\" /><StartRelative Value=\"0\" /><LoopOn Value=\"false\" /><OutMarker Value=\"380\" />"
             "<HiddenLoopStart Value=\"0\" /><HiddenLoopEnd Value=\"380\" /></Loop><Name Value=\"Song " + std::to_string (song)
             + " stem " + std::to_string (track) + "\" /><Annotation Value=\"\" /><Color Value=\"" + std::to_string (track % 70)
             + "\" /><LaunchMode Value=\"0\" /><LaunchQuantisation Value=\"0\" /><TimeSignature><TimeSignatures>"
             "<RemoteableTimeSignature Id=\"0\"><Numerator Value=\"4\" /><Denominator Value=\"4\" /><Time Value=\"0\" />"
             "</RemoteableTimeSignature></TimeSignatures></TimeSignature><Envelopes><Envelopes /></Envelopes>"
             "<ScrollerTimePreserver><LeftTime Value=\"0\" /><RightTime Value=\"32\" /></ScrollerTimePreserver>"
             "<TimeSelection><AnchorTime Value=\"0\" /><OtherTime Value=\"0\" /></TimeSelection><Legato Value=\"false\" />"
             "<Ram Value=\"false\" /><GrooveSettings><GrooveId Value=\"-1\" /></GrooveSettings><Disabled Value=\"false\" />"
             "<VelocityAmount Value=\"0\" /><FollowAction><FollowTime Value=\"4\" /><IsLinked Value=\"true\" />"
             "<LoopIterations Value=\"1\" /><FollowActionA Value=\"4\" /><FollowActionB Value=\"0\" /><FollowChanceA Value=\"100\" />"
             "<FollowChanceB Value=\"0\" /><JumpIndexA Value=\"1\" /><JumpIndexB Value=\"1\" /><FollowActionEnabled Value=\"false\" />"
             "</FollowAction><Grid><FixedNumerator Value=\"1\" /><FixedDenominator Value=\"16\" /><GridIntervalPixel Value=\"20\" />"
             "<Ntoles Value=\"2\" /><SnapToGrid Value=\"true\" /><Fixed Value=\"false\" /></Grid><FreezeStart Value=\"0\" />"
             "<FreezeEnd Value=\"0\" /><IsWarped Value=\"true\" /><TakeId Value=\"1\" /><SampleRef><FileRef>"
             "<RelativePathType Value=\"3\" /><RelativePath Value=\"Samples/Imported/song" + std::to_string (song) + "_stem"
             + std::to_string (track) + ".wav\" /><Path Value=\"/home/user/Music/Show/Samples/Imported/song" + std::to_string (song)
             + "_stem" + std::to_string (track) + ".wav\" /><Type Value=\"1\" /><LivePackName Value=\"\" /><LivePackId Value=\"\" />"
             "<OriginalFileSize Value=\"52920044\" /><OriginalCrc Value=\"48213\" /></FileRef><LastModDate Value=\"1690000000\" />"
             "<SourceContext /><SampleUsageHint Value=\"0\" /><DefaultDuration Value=\"13230000\" /><DefaultSampleRate Value=\"44100\" />"
             "</SampleRef><Onsets><UserOnsets /><HasUserOnsets Value=\"false\" /></Onsets><WarpMode Value=\"4\" />"
             "<GranularityTones Value=\"30\" /><GranularityTexture Value=\"65\" /><FluctuationTexture Value=\"25\" />"
             "<TransientResolution Value=\"6\" /><TransientLoopMode Value=\"2\" /><TransientEnvelope Value=\"100\" />"
             "<ComplexProFormants Value=\"100\" /><ComplexProEnvelope Value=\"128\" /><Sync Value=\"true\" />"
             "<HiQ Value=\"true\" /><Fade Value=\"true\" /><Fades><FadeInLength Value=\"0\" /><FadeOutLength Value=\"0\" />"
             "<ClipFadesAreInitialized Value=\"true\" /><CrossfadeInState Value=\"0\" /><FadeInCurveSkew Value=\"0\" />"
             "<FadeInCurveSlope Value=\"0\" /><FadeOutCurveSkew Value=\"0\" /><FadeOutCurveSlope Value=\"0\" />"
             "<IsDefaultFadeIn Value=\"true\" /><IsDefaultFadeOut Value=\"true\" /></Fades><PitchCoarse Value=\"0\" />"
             "<PitchFine Value=\"0\" /><SampleVolume Value=\"1\" /><WarpMarkers>";
        for (int w = 0; w < 6; ++w)
            x += "<WarpMarker Id=\"" + std::to_string (w) + "\" SecTime=\"" + std::to_string (w * 30.0) + "\" BeatTime=\""
                 + std::to_string (w * 64) + "\" />";
        x += "</WarpMarkers><SavedWarpMarkersForStretched /><MarkersGenerated Value=\"true\" /><IsSongTempoMaster Value=\"false\" />"
             "</AudioClip>\n";
    }

    inline void midiClip (std::string& x, const LiveSetShape& shape, int song, int& id)
    {
        x += "<MidiClip Id=\"" + std::to_string (id++) + "\" Time=\"" + std::to_string (song * 400) + "\"><LomId Value=\"0\" />"
             "<CurrentStart Value=\"0\" /><CurrentEnd Value=\"380\" /><Name Value=\"Cues " + std::to_string (song) + "\" />"
             "<Notes><KeyTracks><KeyTrack Id=\"0\"><Notes>\n";
        for (int n = 0; n < shape.notesPerMidiClip; ++n)
            x += "<MidiNoteEvent Time=\"" + std::to_string (n * 0.5) + "\" Duration=\"0.25\" Velocity=\"100\" OffVelocity=\"64\" NoteId=\""
                 + std::to_string (n + 1) + "\" />\n";
        x += "</Notes><MidiKey Value=\"60\" /></KeyTrack></KeyTracks></Notes></MidiClip>\n";
    }

    inline void track (std::string& x, const LiveSetShape& shape, bool midi, int index, int& id)
    {
        const char* kind = midi ? "MidiTrack" : "AudioTrack";
        x += "<" + std::string (kind) + " Id=\"" + std::to_string (index) + "\"><LomId Value=\"0\" /><Name><EffectiveName Value=\"Track "
             + std::to_string (index) + "\" /><UserName Value=\"\" /><Annotation Value=\"\" /></Name><Color Value=\"12\" />\n";
        automation (x, shape, id);
        x += "<DeviceChain>\n";
        mixer (x, id);
        x += "<MainSequencer><Sample><ArrangerAutomation><Events>\n";
        for (int s = 0; s < shape.songs; ++s)
            midi ? midiClip (x, shape, s, id) : audioClip (x, index, s, id);
        x += "</Events></ArrangerAutomation></Sample></MainSequencer>\n";
        devices (x, shape, id);
        x += "</DeviceChain></" + std::string (kind) + ">\n";
    }
} // namespace detail

// A whole set: tempo automation (a ramp every 32 beats), a 4/4 to 3/4 change, locators every 64
// beats, and the arrangement's length.
inline std::string makeLiveSetXml (const LiveSetShape& shape = {})
{
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Ableton MajorVersion=\"5\" MinorVersion=\"11.0_433\">\n<LiveSet>\n"
                    "<LomId Value=\"0\" /><Tracks>\n";
    int id = 1000;
    for (int t = 0; t < shape.audioTracks + shape.midiTracks; ++t)
        detail::track (x, shape, t >= shape.audioTracks, t, id);
    x += "</Tracks>\n<MasterTrack><LomId Value=\"0\" /><DeviceChain><Mixer><Tempo><LomId Value=\"0\" /><Manual Value=\"120\" />"
         "<ArrangerAutomation><Events>\n<FloatEvent Id=\"1\" Time=\"-63072000\" Value=\"120\" />\n";
    for (int e = 0; e < shape.tempoEvents; ++e)
        x += "<FloatEvent Id=\"" + std::to_string (e + 2) + "\" Time=\"" + std::to_string (e * 32) + "\" Value=\""
             + std::to_string (100 + (e % 5) * 10) + "\" />\n";
    x += "</Events></ArrangerAutomation></Tempo><TimeSignature><LomId Value=\"0\" /><Manual Value=\"201\" /><ArrangerAutomation>"
         "<Events><EnumEvent Id=\"1\" Time=\"-63072000\" Value=\"201\" /><EnumEvent Id=\"2\" Time=\"64\" Value=\"200\" />"
         "</Events></ArrangerAutomation></TimeSignature></Mixer></DeviceChain></MasterTrack>\n<Locators><Locators>\n";
    for (int l = 0; l < shape.locators; ++l)
        x += "<Locator Id=\"" + std::to_string (l) + "\"><LomId Value=\"0\" /><Time Value=\"" + std::to_string (l * 64)
             + "\" /><Name Value=\"" + (l % 2 == 0 ? "Verse " : "Chorus ") + std::to_string (l / 2 + 1)
             + "\" /><Annotation Value=\"\" /><IsSongStart Value=\"false\" /></Locator>\n";
    x += "</Locators></Locators>\n<ArrangementLength Value=\"" + std::to_string (shape.songs * 400) + "\" />\n</LiveSet>\n</Ableton>\n";
    return x;
}
} // namespace quorvelle::core::test
