#pragma once
// Lines that a terminal redraws in place: they must fit its width, or every
// redraw wraps onto a new line.
#include <QString>
#include <QStringList>

namespace ctl {

// The width of the terminal on stdout (else stderr, else $COLUMNS, else 80).
int TerminalColumns();

// "[#####-----] 42%  13/32 lines  1 resends  0:03 left" in at most columns - 1
// characters: the bar narrows first (down to 10), then the parts after the
// percentage drop from the end.
QString ProgressLine(int percent, const QStringList &parts, int columns);

} // namespace ctl
