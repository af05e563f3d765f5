#include "app/resolution.h"

#include <algorithm>
#include <cmath>

#include "app/layout.h"
#include "imaging/view/imagingview.h"

namespace {

const TPxLayer* AreaLayer(const XaLayout& layout, int32_t areaIndex) {
  if (areaIndex < 0 || size_t(areaIndex) >= layout.Areas.size() ||
      areaIndex + 1 >= layout.View->LayerCount())
    return nullptr;
  return layout.View->Layer(areaIndex + 1);
}

}  // namespace

int32_t XaPrintResolution(int32_t pixelWidth, int32_t pixelHeight, int32_t pageWidth,
                          int32_t pageHeight) {
  if (pixelWidth <= 0 || pixelHeight <= 0 || pageWidth <= 0 || pageHeight <= 0) return 0;
  const double x = pixelWidth * kPagePixelsPerInch / pageWidth;
  const double y = pixelHeight * kPagePixelsPerInch / pageHeight;
  return int32_t(std::lround(std::min(x, y)));
}

int32_t XaAreaResolution(const XaLayout& layout, int32_t areaIndex) {
  const TPxLayer* layer = AreaLayer(layout, areaIndex);
  if (!layer) return 0;
  const XaLayoutArea& area = *layout.Areas[size_t(areaIndex)];
  if (area.FileName.empty()) return 0;
  return XaPrintResolution(area.PixelWidth, area.PixelHeight, layer->GetWidth(), layer->GetHeight());
}

bool XaLowResolution(const XaLayout& layout, int32_t areaIndex) {
  const int32_t ppi = XaAreaResolution(layout, areaIndex);
  return ppi > 0 && ppi < kLowResolutionPpi;
}

std::string XaAreaResolutionText(const XaLayout& layout, int32_t areaIndex) {
  const int32_t ppi = XaAreaResolution(layout, areaIndex);
  if (ppi <= 0) return {};
  const std::string& name = layout.Areas[size_t(areaIndex)]->Name;
  return name + ": " + std::to_string(ppi) + " pixels per inch" +
         (ppi < kLowResolutionPpi ? ", too few for a sharp print" : "");
}

std::string XaLowResolutionWarning(const XaLayout& layout, int32_t areaIndex) {
  if (!XaLowResolution(layout, areaIndex)) return {};
  return "\"" + layout.Areas[size_t(areaIndex)]->Name + "\" prints at " +
         std::to_string(XaAreaResolution(layout, areaIndex)) + " pixels per inch, fewer than " +
         std::to_string(kLowResolutionPpi) + ": it may look blurred.";
}

std::vector<std::string> XaLowResolutionWarnings(const XaLayout& layout) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < layout.Areas.size(); ++i)
    if (std::string w = XaLowResolutionWarning(layout, int32_t(i)); !w.empty()) lines.push_back(std::move(w));
  return lines;
}

void XaMarkLowResolution(XaLayout& layout) {
  bool changed = false;
  for (size_t i = 0; i < layout.Areas.size() && int(i) + 1 < layout.View->LayerCount(); ++i) {
    TPxLayer& layer = *layout.View->Layer(int(i) + 1);
    std::string text = XaLowResolutionWarning(layout, int32_t(i));
    const TPxLayerBadge badge = text.empty() ? pxlbNone : pxlbWarning;
    changed = changed || layer.Badge != badge || layer.BadgeText != text;
    layer.Badge = badge;
    layer.BadgeText = std::move(text);
  }
  if (changed) layout.View->Update();
}
