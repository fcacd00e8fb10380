#pragma once

namespace orvanta::control {

// A presentation program's slide capture as the recording session drives it: started and stopped
// with the recording. The presentation programs' own captures come in later; none is installed yet.
class PresentationRecorder {
public:
    virtual ~PresentationRecorder() = default;
    virtual void startRecording() = 0;
    virtual void stopRecording() = 0;
    // Checks once, when the recording view is first shown, that the program's plug-in is installed.
    virtual void installKeynotePlugin() {}
};

}  // namespace orvanta::control
