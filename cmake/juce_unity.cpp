// The JUCE module sources are added to this library by the module targets; this file only keeps the
// target non-empty for generators that insist on a source of its own.
