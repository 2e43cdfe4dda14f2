// The layout is drawn for "MS Sans Serif" and "Tahoma" at 8 point on a 96 dpi screen. Where those
// fonts are missing (Linux), a font with close metrics takes their place, and sizes are fixed in
// pixels so that the texts fit the binding geometry whatever the screen's dpi.
#pragma once

#include <QString>

class QWidget;

namespace kvr {

// Arial-metric, from fonts-liberation2. DejaVu Sans, Debian's default, is much wider and would
// clip the labels.
inline constexpr const char* kFallbackFontFamily = "Liberation Sans";
inline constexpr int kLayoutDotsPerInch = 96;
inline constexpr int kPointsPerInch = 72;

// The family to use for a family named in the layout: itself when installed, else the fallback
// for the two Windows faces; other families are kept.
QString EffectiveFontFamily(const QString& layoutFamily);

// Applies the rule above to root and to every descendant that sets its own font.
void ApplyLayoutFonts(QWidget* root);

}  // namespace kvr
