// The picture of the instrument shown in Image1, painted at run time (162 x 276, 24 bits per
// pixel), and a small version of it for the window icon.
#pragma once

#include <QIcon>
#include <QImage>

namespace kvr {

inline constexpr int kDevicePictureWidthPx = 162;
inline constexpr int kDevicePictureHeightPx = 276;

QImage PaintDevicePicture();
QIcon DeviceIcon();

}  // namespace kvr
