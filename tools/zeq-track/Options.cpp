#include "Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#ifndef ZEQ_TRACK_DEFAULT_MODELS
#define ZEQ_TRACK_DEFAULT_MODELS "models"
#endif
#ifndef ZEQ_TRACK_DEFAULT_INPUT
#define ZEQ_TRACK_DEFAULT_INPUT "samples/address.mp4"
#endif

namespace zeqtrack {

namespace {

bool parseLong(const std::string& text, long minimum, long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < minimum) return false;
  value = v;
  return true;
}

bool parsePositiveFloat(const std::string& text, float& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const float v = std::strtof(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v <= 0.0f) return false;
  value = v;
  return true;
}

}  // namespace

std::string usageText() {
  return std::string(
             "Usage: zeq-track [options]\n"
             "\n"
             "Tracks a face through the zeqtracker plug-in, driving it through its exported C\n"
             "interface as a host does, and writes an annotated video and per-frame results.\n"
             "\n"
             "Without --input, --camera or --replay it runs the main job: the bundled sample\n"
             "  " ZEQ_TRACK_DEFAULT_INPUT "\n"
             "writing out/address_tracked.mp4 and out/address_results.jsonl (relative to the\n"
             "current directory) unless --output or --results say otherwise.\n"
             "\n"
             "Input (one of):\n"
             "  --input PATH       a video file, an image, or a folder of images (read in name order)\n"
             "  --camera N         camera index N, opened by the plug-in\n"
             "  --replay PATH      a video file played through the plug-in's camera loop, as a\n"
             "                     camera would deliver it (frames arrive through its callback)\n"
             "\n"
             "Output:\n"
             "  --output PATH      annotated video (.mp4: MPEG-4 video, .avi: Motion JPEG)\n"
             "  --results PATH     per-frame results, JSON lines (.jsonl) or CSV (.csv)\n"
             "\n"
             "Settings:\n"
             "  --models DIR       model directory holding zeqTracker.model and face.xml\n"
             "                     (default " ZEQ_TRACK_DEFAULT_MODELS ")\n"
             "  --max-frames N     stop after N frames\n"
             "  --focal F          focal length in pixels for the head translation and\n"
             "                     transform (default 1000, as the overlay uses)\n"
             "  --quiet            no progress and no summary; errors are still printed\n"
             "  --help, -h         this text\n"
             "\n"
             "Exit codes: 0 done, 1 unexpected failure, 2 bad command line, 3 input missing or\n"
             "unreadable, 4 model directory missing or not loadable, 5 no camera, 6 output not\n"
             "writable.\n");
}

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
  options = Options();
  options.models = ZEQ_TRACK_DEFAULT_MODELS;
  bool haveInput = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool hasInlineValue = false;
    if (arg.rfind("--", 0) == 0) {
      const size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        hasInlineValue = true;
      }
    }
    auto takeValue = [&](std::string& out) {
      if (hasInlineValue) {
        out = value;
        return true;
      }
      if (i + 1 >= argc) {
        error = "option " + arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    auto noValue = [&]() {
      if (hasInlineValue) {
        error = "option " + arg + " takes no value";
        return false;
      }
      return true;
    };

    if (arg == "--help" || arg == "-h") {
      if (!noValue()) return false;
      options.help = true;
    } else if (arg == "--quiet") {
      if (!noValue()) return false;
      options.quiet = true;
    } else if (arg == "--input") {
      if (!takeValue(options.input)) return false;
      if (options.input.empty()) {
        error = "--input needs a path";
        return false;
      }
      haveInput = true;
    } else if (arg == "--camera") {
      std::string text;
      long index = 0;
      if (!takeValue(text)) return false;
      if (!parseLong(text, 0, index) || index > 1000) {
        error = "--camera needs a camera index (0, 1, ...), got '" + text + "'";
        return false;
      }
      options.camera = static_cast<int>(index);
    } else if (arg == "--replay") {
      if (!takeValue(options.replay)) return false;
      if (options.replay.empty()) {
        error = "--replay needs a path";
        return false;
      }
    } else if (arg == "--output") {
      if (!takeValue(options.output)) return false;
    } else if (arg == "--results") {
      if (!takeValue(options.results)) return false;
    } else if (arg == "--models") {
      if (!takeValue(options.models)) return false;
      if (options.models.empty()) {
        error = "--models needs a directory";
        return false;
      }
    } else if (arg == "--max-frames") {
      std::string text;
      if (!takeValue(text)) return false;
      if (!parseLong(text, 1, options.maxFrames)) {
        error = "--max-frames needs a positive number, got '" + text + "'";
        return false;
      }
    } else if (arg == "--focal") {
      std::string text;
      if (!takeValue(text)) return false;
      if (!parsePositiveFloat(text, options.focal)) {
        error = "--focal needs a positive number, got '" + text + "'";
        return false;
      }
    } else {
      error = "unknown argument '" + arg + "' (see --help)";
      return false;
    }
  }
  if (options.help) return true;
  const int sources = (haveInput ? 1 : 0) + (options.camera >= 0 ? 1 : 0) + (options.replay.empty() ? 0 : 1);
  if (sources > 1) {
    error = "give one of --input, --camera and --replay";
    return false;
  }
  if (sources == 0) {
    options.mainJob = true;
    options.input = ZEQ_TRACK_DEFAULT_INPUT;
    const std::string stem = std::filesystem::path(options.input).stem().string();
    if (options.output.empty()) options.output = "out/" + stem + "_tracked.mp4";
    if (options.results.empty()) options.results = "out/" + stem + "_results.jsonl";
  }
  if (!options.results.empty()) {
    const std::string ext = std::filesystem::path(options.results).extension().string();
    if (ext != ".jsonl" && ext != ".csv") {
      error = "--results must end in .jsonl or .csv, got '" + options.results + "'";
      return false;
    }
  }
  return true;
}

}  // namespace zeqtrack
