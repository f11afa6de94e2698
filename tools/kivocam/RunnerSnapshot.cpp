// `snapshot NAME`: the host screen rendered as a person would see it now,
// written as a PNG into the snapshot directory.

#include <cmath>
#include <cstring>

#include "CoreGraphics/CGContext.h"
#include "Foundation/TraceFormat.h"
#include "Runner.h"
#include "RunnerDelegate.h"
#include "UIKit/UIScreen.h"
#include "sim/HostScreen.h"

namespace kivocam {

namespace {

// A name stays a plain file name inside the directory: no separators, no
// hidden files, nothing a shell or a file system reads specially.
bool isSnapshotName(std::string_view name) {
  if (name.empty() || name.size() > kMaxSnapshotNameLength || name.front() == '.') return false;
  for (const char c : name) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                         c == '_' || c == '-';
    if (!allowed) return false;
  }
  return true;
}

// Pixels along one side: points times the scale, a partly covered pixel
// counting whole.
double pixelsAlong(double points, double scale) { return std::ceil(points * scale - 1e-9); }

}  // namespace

void Runner::snapshot(const std::string& name) {
  if (!isSnapshotName(name))
    throw ScenarioError("snapshot: " + quote(name) + " is not a snapshot name: expected 1 to " +
                        std::to_string(kMaxSnapshotNameLength) +
                        " letters, digits, '.', '_' and '-', not beginning with '.'");
  const CGRect bounds = UIScreen::main().bounds();
  const double scale = UIScreen::main().scale();
  const double width = pixelsAlong(bounds.width(), scale);
  const double height = pixelsAlong(bounds.height(), scale);
  if (width > kMaxSnapshotSide || height > kMaxSnapshotSide || width * height > static_cast<double>(kMaxSnapshotPixels))
    throw ScenarioError("snapshot: the screen is " + formatNumber(width) + " x " + formatNumber(height) +
                        " pixels; a snapshot has at most " + std::to_string(kMaxSnapshotSide) + " a side and " +
                        std::to_string(kMaxSnapshotPixels) + " in all");

  CGContext context(static_cast<int>(width), static_cast<int>(height));
  context.scaleCTM(scale, scale);
  context.translateCTM(-bounds.origin.x, -bounds.origin.y);
  host_->renderInContext(context);
  const auto png = CGBitmapContextCreatePNGData(context);
  const std::string file = name + ".png";
  if (!png) throw RunFailure("cannot encode the snapshot " + file);
  if (options_.snapshotsDirectory) {
    const auto path = *options_.snapshotsDirectory / file;
    if (const int error = writeFile(path, *png); error != 0)
      throw RunFailure("cannot write the snapshot " + path.string() + ": " + std::strerror(error));
  }
  emit("snapshot " + file + " " + std::to_string(context.width()) + "x" + std::to_string(context.height()));
}

}  // namespace kivocam
