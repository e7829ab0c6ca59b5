#include "plugin/CascadeValidation.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace zeq {
namespace plugin {

namespace {

bool fail(std::string& reason, const std::string& what) {
  reason = "Invalid face detector cascade: " + what;
  return false;
}

bool isNumber(const cv::FileNode& n) { return n.isInt() || n.isReal(); }

// A number that survives OpenCV's own conversions: finite as a float.
bool finiteNumber(const cv::FileNode& n, double& v) {
  if (!isNumber(n)) return false;
  v = static_cast<double>(n);
  return std::isfinite(v) && std::isfinite(static_cast<float>(v));
}

bool intValue(const cv::FileNode& n, int lo, int hi, int& v) {
  double d = 0.0;
  if (!finiteNumber(n, d) || d != std::floor(d) || d < lo || d > hi) return false;
  v = static_cast<int>(d);
  return true;
}

// The numbers of a sequence node (or of a single number).
bool numbers(const cv::FileNode& n, std::vector<double>& out, std::size_t limit) {
  out.clear();
  if (isNumber(n)) {
    double v = 0.0;
    if (!finiteNumber(n, v)) return false;
    out.push_back(v);
    return true;
  }
  if (!n.isSeq() || n.size() > limit) return false;
  for (cv::FileNodeIterator it = n.begin(); it != n.end(); ++it) {
    double v = 0.0;
    if (!finiteNumber(*it, v)) return false;
    out.push_back(v);
  }
  return true;
}

bool wholeNumber(double v) { return v == std::floor(v) && std::fabs(v) <= 1e9; }

struct Window {
  int width = 0;
  int height = 0;
};

// Haar rectangles "x y w h weight", at most three per feature; a tilted one
// spans x - h .. x + w horizontally and y .. y + w + h vertically.
bool validHaarFeature(const cv::FileNode& feature, const Window& win, std::string& reason) {
  const cv::FileNode rects = feature["rects"];
  if (!rects.isSeq() || rects.size() < 1 || rects.size() > 3) return fail(reason, "a Haar feature needs 1 to 3 rectangles");
  int tilted = 0;
  const cv::FileNode t = feature["tilted"];
  if (!t.empty() && !intValue(t, 0, 1, tilted)) return fail(reason, "a feature's tilted flag is not 0 or 1");
  std::vector<double> v;
  for (cv::FileNodeIterator it = rects.begin(); it != rects.end(); ++it) {
    if (!numbers(*it, v, 5) || v.size() != 5) return fail(reason, "a rectangle is not five finite numbers");
    for (int i = 0; i < 4; ++i)
      if (!wholeNumber(v[i])) return fail(reason, "a rectangle has a fractional or huge coordinate");
    const double x = v[0], y = v[1], w = v[2], h = v[3];
    if (w < 0 || h < 0) return fail(reason, "a rectangle has a negative size");
    const bool inside = tilted ? (x - h >= 0 && y >= 0 && x + w <= win.width && y + w + h <= win.height)
                               : (x >= 0 && y >= 0 && x + w <= win.width && y + h <= win.height);
    if (!inside) return fail(reason, "a rectangle lies outside the detection window");
  }
  return true;
}

// LBP blocks "x y w h": a 3 x 3 grid of w x h cells.
bool validLbpFeature(const cv::FileNode& feature, const Window& win, std::string& reason) {
  std::vector<double> v;
  if (!numbers(feature["rect"], v, 4) || v.size() != 4) return fail(reason, "an LBP feature is not four numbers");
  for (double c : v)
    if (!wholeNumber(c)) return fail(reason, "an LBP feature has a fractional or huge coordinate");
  const double x = v[0], y = v[1], w = v[2], h = v[3];
  if (w < 1 || h < 1 || x < 0 || y < 0 || x + 3 * w > win.width || y + 3 * h > win.height)
    return fail(reason, "an LBP feature lies outside the detection window");
  return true;
}

// One tree: `step` numbers per node (left, right, feature, then the threshold
// or the category subset), nodes + 1 leaves. Children must come after their
// parent, so evaluation always ends at a leaf.
bool validTree(const cv::FileNode& tree, int step, bool categorical, int featureCount, std::string& reason) {
  std::vector<double> nodes, leaves;
  if (!numbers(tree["internalNodes"], nodes, static_cast<std::size_t>(kMaxCascadeTreeNodes) * step))
    return fail(reason, "a tree's nodes are missing or not finite numbers");
  if (!numbers(tree["leafValues"], leaves, kMaxCascadeTreeNodes + 1))
    return fail(reason, "a tree's leaf values are missing or not finite numbers");
  if (nodes.empty() || nodes.size() % step != 0) return fail(reason, "a tree's node list has the wrong length");
  const int count = static_cast<int>(nodes.size()) / step;
  if (static_cast<int>(leaves.size()) != count + 1) return fail(reason, "a tree does not have one leaf more than nodes");
  for (int i = 0; i < count; ++i) {
    const double* n = &nodes[static_cast<std::size_t>(i) * step];
    for (int c = 0; c < 2; ++c) {
      if (!wholeNumber(n[c])) return fail(reason, "a tree's child index is not whole");
      const bool next = n[c] > 0 ? (n[c] > i && n[c] < count) : (-n[c] <= count);
      if (!next) return fail(reason, "a tree's child index is out of range");
    }
    if (!wholeNumber(n[2]) || n[2] < 0 || n[2] >= featureCount) return fail(reason, "a tree names a feature that does not exist");
    if (categorical) {
      // 32-bit category masks, written as signed or unsigned words.
      for (int s = 3; s < step; ++s)
        if (n[s] != std::floor(n[s]) || std::fabs(n[s]) > 4294967295.0)
          return fail(reason, "a category subset is not a 32-bit word");
    }
  }
  return true;
}

// A strict reader of the XML subset cascade files use; it only checks shape.
class PlainXml {
 public:
  explicit PlainXml(const std::string& text) : t_(text) {}

  bool document(std::string& reason) {
    skipSpace();
    if (!declaration()) return fail(reason, "the text is not an XML cascade file (no XML declaration)");
    if (!misc()) return fail(reason, "malformed XML comment");
    std::string name;
    if (!element(0, name)) return fail(reason, "malformed XML near byte " + std::to_string(at_));
    if (!misc() || at_ != t_.size()) return fail(reason, "text after the XML document's end");
    return true;
  }

 private:
  static constexpr int kMaxDepth = 32;
  static constexpr std::size_t kMaxName = 64;

  bool more() const { return at_ < t_.size(); }
  bool starts(const char* s) const { return t_.compare(at_, std::char_traits<char>::length(s), s) == 0; }
  static bool space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
  static bool nameChar(char c, bool first) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (!first && c >= '0' && c <= '9');
  }
  static bool textChar(char c) { return nameChar(c, false) || space(c) || c == '.' || c == '+' || c == '-'; }
  static bool printable(char c) { return (c >= 0x20 && c < 0x7f) || space(c); }
  void skipSpace() {
    while (more() && space(t_[at_])) ++at_;
  }

  bool declaration() {
    if (!starts("<?xml ")) return false;
    at_ += 6;
    const std::size_t end = t_.find("?>", at_);
    if (end == std::string::npos) return false;
    for (std::size_t i = at_; i < end; ++i)
      if (!printable(t_[i]) || t_[i] == '<' || t_[i] == '>') return false;
    if (t_.substr(at_, end - at_).find("version=\"1.0\"") == std::string::npos) return false;
    at_ = end + 2;
    return true;
  }

  // Comments and space between the parts of the document.
  bool misc() {
    for (;;) {
      skipSpace();
      if (!starts("<!--")) return true;
      if (!comment()) return false;
    }
  }

  bool comment() {
    const std::size_t end = t_.find("-->", at_ + 4);
    if (end == std::string::npos) return false;
    // Comments may carry UTF-8 text (authors' names, citations).
    for (std::size_t i = at_ + 4; i < end; ++i)
      if (!printable(t_[i]) && static_cast<unsigned char>(t_[i]) < 0x80) return false;
    at_ = end + 3;
    return true;
  }

  bool name(std::string& out) {
    const std::size_t begin = at_;
    if (!more() || !nameChar(t_[at_], true)) return false;
    while (more() && nameChar(t_[at_], false)) ++at_;
    if (at_ - begin > kMaxName) return false;
    out.assign(t_, begin, at_ - begin);
    return true;
  }

  bool attribute() {
    std::string key;
    if (!name(key) || key != "type_id" || !starts("=\"")) return false;
    at_ += 2;
    while (more() && t_[at_] != '"') {
      if (!nameChar(t_[at_], false) && t_[at_] != '-') return false;
      ++at_;
    }
    if (!more()) return false;
    ++at_;
    return true;
  }

  bool element(int depth, std::string& tag) {
    if (depth > kMaxDepth || !starts("<")) return false;
    ++at_;
    if (!name(tag)) return false;
    skipSpace();
    if (more() && t_[at_] != '>') {
      if (!attribute()) return false;
      skipSpace();
    }
    if (!starts(">")) return false;
    ++at_;
    for (;;) {
      if (!more()) return false;
      if (starts("</")) break;
      if (starts("<!--")) {
        if (!comment()) return false;
      } else if (t_[at_] == '<') {
        std::string child;
        if (!element(depth + 1, child)) return false;
      } else if (textChar(t_[at_])) {
        ++at_;
      } else {
        return false;
      }
    }
    at_ += 2;
    std::string closing;
    if (!name(closing) || closing != tag) return false;
    skipSpace();
    if (!starts(">")) return false;
    ++at_;
    return true;
  }

  const std::string& t_;
  std::size_t at_ = 0;
};

// The numbers of one old-format rectangle list, checked like a new feature.
bool oldFeature(const cv::FileNode& feature, const Window& win, std::string& reason) {
  return validHaarFeature(feature, win, reason);
}

// A leaf value or a later node of the same tree.
bool oldChild(const cv::FileNode& node, const char* value, const char* next, int at, int count, double& leaf,
              int& child, std::string& reason) {
  const cv::FileNode n = node[next];
  if (!n.empty()) {
    if (!intValue(n, at + 1, count - 1, child)) return fail(reason, "an old-format node points to no later node");
    return true;
  }
  child = -1;
  if (!finiteNumber(node[value], leaf)) return fail(reason, "an old-format leaf value is missing or not finite");
  return true;
}

// Cascades of OpenCV's older Haar format (a "size" and "trees" of "feature"
// nodes) are checked and rewritten in the current format, so that one check
// and one reader serve both.
// One stage of either format: a finite threshold and a non-empty list of
// trees, counted against the limit on all trees of the cascade.
bool validStage(const cv::FileNode& stage, const char* thresholdKey, const char* listKey, const char* emptyList,
                long long& trees, double& threshold, cv::FileNode& list, std::string& reason) {
  if (!finiteNumber(stage[thresholdKey], threshold)) return fail(reason, "a stage threshold is missing or not finite");
  list = stage[listKey];
  if (!list.isSeq() || list.size() < 1) return fail(reason, emptyList);
  trees += static_cast<long long>(list.size());
  if (trees > kMaxCascadeTrees) return fail(reason, "too many weak classifiers");
  return true;
}

bool convertOldCascade(const cv::FileNode& old, std::string& text, std::string& reason) {
  std::vector<double> size;
  if (!numbers(old["size"], size, 2) || size.size() != 2 || !wholeNumber(size[0]) || !wholeNumber(size[1]) ||
      size[0] < 1 || size[1] < 1 || size[0] > kMaxCascadeWindow || size[1] > kMaxCascadeWindow)
    return fail(reason, "the old-format window size is missing or out of range");
  const Window win{static_cast<int>(size[0]), static_cast<int>(size[1])};
  const cv::FileNode stages = old["stages"];
  if (!stages.isSeq() || stages.size() < 1 || stages.size() > static_cast<std::size_t>(kMaxCascadeStages))
    return fail(reason, "the stage list is missing or too long");

  cv::FileStorage out(".xml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY);
  out << "cascade" << "{";
  out << "stageType" << "BOOST" << "featureType" << "HAAR" << "height" << win.height << "width" << win.width;
  out << "featureParams" << "{" << "maxCatCount" << 0 << "}";
  out << "stageNum" << static_cast<int>(stages.size()) << "stages" << "[";
  std::vector<cv::FileNode> features;
  long long trees = 0;
  for (cv::FileNodeIterator s = stages.begin(); s != stages.end(); ++s) {
    double threshold = 0.0;
    cv::FileNode list;
    if (!validStage(*s, "stage_threshold", "trees", "a stage has no trees", trees, threshold, list, reason)) return false;
    out << "{" << "maxWeakCount" << static_cast<int>(list.size()) << "stageThreshold" << threshold;
    out << "weakClassifiers" << "[";
    for (cv::FileNodeIterator t = list.begin(); t != list.end(); ++t) {
      const cv::FileNode tree = *t;
      if (!tree.isSeq() || tree.size() < 1 || tree.size() > static_cast<std::size_t>(kMaxCascadeTreeNodes))
        return fail(reason, "an old-format tree is empty or too large");
      const int count = static_cast<int>(tree.size());
      std::vector<double> nodes, leaves;
      for (int i = 0; i < count; ++i) {
        const cv::FileNode node = tree[i];
        double nodeThreshold = 0.0;
        if (!node.isMap() || !finiteNumber(node["threshold"], nodeThreshold))
          return fail(reason, "an old-format node has no finite threshold");
        if (!oldFeature(node["feature"], win, reason)) return false;
        if (features.size() >= static_cast<std::size_t>(kMaxCascadeFeatures)) return fail(reason, "too many features");
        double values[2] = {0.0, 0.0};
        int children[2] = {-1, -1};
        if (!oldChild(node, "left_val", "left_node", i, count, values[0], children[0], reason) ||
            !oldChild(node, "right_val", "right_node", i, count, values[1], children[1], reason))
          return false;
        double links[2];
        for (int c = 0; c < 2; ++c) {
          if (children[c] > 0) {
            links[c] = children[c];
          } else {
            links[c] = -static_cast<double>(leaves.size());
            leaves.push_back(values[c]);
          }
        }
        nodes.insert(nodes.end(), {links[0], links[1], static_cast<double>(features.size()), nodeThreshold});
        features.push_back(node["feature"]);
      }
      out << "{" << "internalNodes" << "[:";
      for (double v : nodes) out << v;
      out << "]" << "leafValues" << "[:";
      for (double v : leaves) out << v;
      out << "]" << "}";
    }
    out << "]" << "}";
  }
  out << "]" << "features" << "[";
  std::vector<double> r;
  for (const cv::FileNode& f : features) {
    out << "{" << "rects" << "[";
    for (cv::FileNodeIterator it = f["rects"].begin(); it != f["rects"].end(); ++it) {
      numbers(*it, r, 5);
      out << "[:" << static_cast<int>(r[0]) << static_cast<int>(r[1]) << static_cast<int>(r[2])
          << static_cast<int>(r[3]) << r[4] << "]";
    }
    out << "]" << "tilted" << static_cast<int>(f["tilted"]) << "}";
  }
  out << "]" << "}";
  text = out.releaseAndGetString();
  return true;
}

}  // namespace

bool plainCascadeXml(const std::string& text, std::string& reason) {
  if (static_cast<long long>(text.size()) > kMaxCascadeBytes) return fail(reason, "larger than 64 MB");
  return PlainXml(text).document(reason);
}

bool validCascade(const cv::FileNode& cascade, std::string& reason) {
  if (cascade.empty() || !cascade.isMap()) return fail(reason, "no cascade found (OpenCV's cascade classifier format is needed)");
  if (static_cast<std::string>(cascade["stageType"]) != "BOOST") return fail(reason, "stageType is not BOOST");
  const std::string type = static_cast<std::string>(cascade["featureType"]);
  const bool haar = type == "HAAR";
  if (!haar && type != "LBP") return fail(reason, "featureType is neither HAAR nor LBP");
  Window win;
  if (!intValue(cascade["width"], 1, kMaxCascadeWindow, win.width) ||
      !intValue(cascade["height"], 1, kMaxCascadeWindow, win.height))
    return fail(reason, "the detection window size is missing or out of range");
  int categories = 0;
  if (!intValue(cascade["featureParams"]["maxCatCount"], 0, 256, categories))
    return fail(reason, "featureParams/maxCatCount is missing or out of range");
  // LBP codes index a 256-category subset; Haar stumps compare a threshold.
  if (categories != (haar ? 0 : 256)) return fail(reason, "maxCatCount does not fit the feature type");
  const int step = 3 + (categories > 0 ? (categories + 31) / 32 : 1);

  const cv::FileNode features = cascade["features"];
  if (!features.isSeq() || features.size() < 1 || features.size() > static_cast<std::size_t>(kMaxCascadeFeatures))
    return fail(reason, "the feature list is missing or too long");
  for (cv::FileNodeIterator it = features.begin(); it != features.end(); ++it) {
    if (haar ? !validHaarFeature(*it, win, reason) : !validLbpFeature(*it, win, reason)) return false;
  }

  const cv::FileNode stages = cascade["stages"];
  if (!stages.isSeq() || stages.size() < 1 || stages.size() > static_cast<std::size_t>(kMaxCascadeStages))
    return fail(reason, "the stage list is missing or too long");
  const int featureCount = static_cast<int>(features.size());
  long long trees = 0;
  for (cv::FileNodeIterator s = stages.begin(); s != stages.end(); ++s) {
    double threshold = 0.0;
    cv::FileNode weak;
    if (!validStage(*s, "stageThreshold", "weakClassifiers", "a stage has no weak classifiers", trees, threshold, weak,
                    reason))
      return false;
    for (cv::FileNodeIterator w = weak.begin(); w != weak.end(); ++w) {
      if (!validTree(*w, step, categories > 0, featureCount, reason)) return false;
    }
  }
  return true;
}

bool loadCascade(const std::string& text, FaceDetector& detector, std::string& reason) {
  if (!plainCascadeXml(text, reason)) return false;
  try {
    cv::FileStorage storage(text, cv::FileStorage::READ | cv::FileStorage::MEMORY);
    if (!storage.isOpened()) return fail(reason, "the text cannot be parsed");
    cv::FileNode root = storage.getFirstTopLevelNode();
    std::string converted;
    if (!root.empty() && root.isMap() && !root["size"].empty() && !root["stages"].empty() && root["stageType"].empty()) {
      if (!convertOldCascade(root, converted, reason)) return false;
      storage.open(converted, cv::FileStorage::READ | cv::FileStorage::MEMORY);
      root = storage.getFirstTopLevelNode();
    }
    if (!validCascade(root, reason)) return false;
    FaceDetector loaded;
    if (!loaded.read(root)) return fail(reason, "OpenCV could not read it");
    detector = loaded;
    return true;
  } catch (const std::exception& e) {
    return fail(reason, std::string("the text cannot be parsed: ") + e.what());
  }
}

bool readCascadeFile(const std::string& path, std::string& text, std::string& reason) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    reason = "Failed loading face detector from: " + path;
    return false;
  }
  text.clear();
  char chunk[65536];
  bool ok = true;
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof(chunk), f);
    if (got == 0) break;
    if (static_cast<long long>(text.size() + got) > kMaxCascadeBytes) {
      ok = false;
      break;
    }
    text.append(chunk, got);
  }
  const bool readError = std::ferror(f) != 0;
  std::fclose(f);
  if (!ok || readError || text.empty()) {
    reason = "Failed loading face detector from: " + path + (ok ? "" : " (larger than 64 MB)");
    return false;
  }
  return true;
}

}  // namespace plugin
}  // namespace zeq
