// vorn-sim --audio: a tone played through the station driver's audio child and one recorded
// back. The station driver is bound to a simulated adapter with speaker and microphone jacks,
// the audio class client takes the audio child, and then, on the 1 ms clock: the client
// streams a tone to the render endpoint, which the chip plays; the chip's microphone captures
// a tone that the client reads from the capture endpoint. Both are written as WAV files, and
// each is analysed against the tone it should carry: frequency, level, samples lost or
// repeated, silence put in and the drift that makes.
#pragma once

#include <cstdint>
#include <string>

namespace vorn::sim {

struct AudioRoadOptions {
  double seconds = 5;       // of audio each way
  uint32_t rate = 48000;    // 48000 or 44100
  double speed = 10;        // the clock's speed against real time
  int32_t drift_ppm = 0;    // the microphone's clock against the station's
  std::string output = "vorn-sim-out";
  bool quiet = false;
};

// 0 when both tones came through whole, 1 when not, 2 for bad options.
int RunAudioRoad(const AudioRoadOptions& options);
// Parses the audio run's own options (--audio, --seconds, --audio-rate, --speed, --drift-ppm,
// --output, --quiet) and runs it.
int RunAudioRoadFromArgs(int argc, char** argv);

}  // namespace vorn::sim
