#pragma once
// The burner's own pictures, painted at run time so that no image files need
// shipping: the logo, and the two dialing pictures.
#include <QPixmap>

namespace norvik {

// A door with a key-card reader, on a round badge.
QPixmap PaintLogo(int width, int height);
// A desk modem with its lights.
QPixmap PaintModemPicture(int width, int height);
// Three signal arcs.
QPixmap PaintSignalPicture(int width, int height);

} // namespace norvik
