# Every library the program uses is found here, at configure time, even before code calls it.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

find_package(JUCE 7.0.5 CONFIG REQUIRED)
pkg_check_modules(AUDIOCODECS REQUIRED IMPORTED_TARGET flac vorbis vorbisenc vorbisfile ogg)
# Debian's JUCE decodes images with the system libraries.
pkg_check_modules(IMAGECODECS REQUIRED IMPORTED_TARGET libpng libjpeg)
pkg_check_modules(RUBBERBAND REQUIRED IMPORTED_TARGET rubberband)
pkg_check_modules(LAME REQUIRED IMPORTED_TARGET lame)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
find_package(nlohmann_json 3.11 CONFIG REQUIRED)
find_package(FlatBuffers CONFIG REQUIRED)
find_program(FLATC_EXECUTABLE flatc REQUIRED)
find_package(pugixml CONFIG REQUIRED)
find_package(ZLIB REQUIRED)
find_package(GTest CONFIG REQUIRED)
find_package(benchmark CONFIG REQUIRED)

# The JUCE modules compile once, into this one static library; everything else links it. A tree that
# builds only the libraries below the engine (the ThreadSanitizer tree) leaves the GUI modules out.
option(QUORVELLE_JUCE_GUI "Compile JUCE's GUI modules (and the audio modules that need them)" ON)
set(QUORVELLE_JUCE_MODULES
  juce::juce_core juce::juce_events juce::juce_data_structures
  juce::juce_audio_basics juce::juce_audio_devices juce::juce_audio_formats
  juce::juce_dsp juce::juce_cryptography)
if(QUORVELLE_JUCE_GUI)
  list(APPEND QUORVELLE_JUCE_MODULES
    juce::juce_audio_utils juce::juce_audio_processors
    juce::juce_graphics juce::juce_gui_basics juce::juce_gui_extra)
endif()
add_library(quorvelle_juce STATIC "${CMAKE_CURRENT_LIST_DIR}/juce_unity.cpp")
target_link_libraries(quorvelle_juce
  PRIVATE
    ${QUORVELLE_JUCE_MODULES}
  PUBLIC
    juce::juce_recommended_config_flags
    PkgConfig::AUDIOCODECS PkgConfig::IMAGECODECS PkgConfig::CURL Threads::Threads ${CMAKE_DL_LIBS})
target_compile_definitions(quorvelle_juce
  PUBLIC
    JUCE_WEB_BROWSER=0
    JUCE_USE_CURL=1
    JUCE_LOAD_CURL_SYMBOLS_LAZILY=0
    JUCE_USE_MP3AUDIOFORMAT=1
    JUCE_USE_FLAC=1
    JUCE_USE_OGGVORBIS=1
    JUCE_INCLUDE_FLAC_CODE=0
    JUCE_INCLUDE_OGGVORBIS_CODE=0
    JUCE_ALSA=1
    JUCE_JACK=1
    JUCE_JACK_CLIENT_NAME="quorvelle"
    JUCE_MODAL_LOOPS_PERMITTED=1
    JUCE_DISPLAY_SPLASH_SCREEN=0
    JUCE_USE_XRANDR=1
    JUCE_USE_XINERAMA=1
    JUCE_STRICT_REFCOUNTEDPOINTER=1
    JUCE_SILENCE_XCODE_15_LINKER_WARNING=1
  INTERFACE
    $<TARGET_PROPERTY:quorvelle_juce,COMPILE_DEFINITIONS>)
target_include_directories(quorvelle_juce
  INTERFACE $<TARGET_PROPERTY:quorvelle_juce,INCLUDE_DIRECTORIES>)
# JUCE's own sources are not ours to warn about.
target_compile_options(quorvelle_juce PRIVATE -w)
