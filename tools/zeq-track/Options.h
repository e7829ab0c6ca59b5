#pragma once
#include <string>

namespace zeqtrack {

// Process exit codes; scripts tell the failures apart by them.
enum ExitCode {
  kExitOk = 0,
  kExitFailure = 1,   // unexpected failure while running
  kExitUsage = 2,     // bad command line
  kExitInput = 3,     // input missing or unreadable
  kExitModels = 4,    // model directory missing or not loadable
  kExitCamera = 5,    // camera cannot be opened or stops delivering frames
  kExitOutput = 6,    // video or results file cannot be written
};

struct Options {
  std::string input;        // video file, single image or folder of images
  int camera = -1;          // camera index; -1 when reading a file
  std::string replay;       // video file fed through the plug-in's own capture loop
  std::string output;       // annotated video; "" for none
  std::string results;      // per-frame results (.jsonl or .csv); "" for none
  std::string models;       // model directory
  long maxFrames = -1;      // -1: all frames
  float focal = 1000.0f;    // focal length in pixels for translation and transform
  bool quiet = false;
  bool help = false;
  bool mainJob = false;     // no input given: the bundled sample with its default outputs
};

// Parses argv. On a bad command line returns false with a message in error.
bool parseOptions(int argc, char** argv, Options& options, std::string& error);

// The --help text.
std::string usageText();

}  // namespace zeqtrack
