#pragma once
// Where the burner's windows appear when first shown.
class QWidget;

namespace norvik {

// Moves a top-level window, frame included, to the middle of the primary
// screen's free area.
void CentreOnScreen(QWidget *window);

} // namespace norvik
