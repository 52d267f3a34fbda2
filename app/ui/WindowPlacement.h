#pragma once
// Keeps top-level windows on screen: every window is shown inside the available area
// of the screen it opens on (the screen without panels and docks), frame included.

#include <QMargins>
#include <QRect>

class QWidget;

namespace qm {

// The frame rectangle made no larger than area and moved the least distance that
// puts it inside; a rectangle already inside comes back unchanged.
QRect fittedInto(const QRect& frame, const QRect& area);

// Shows the window inside the available area of its screen. A window placed here for
// the first time opens centred on the screen of the active window; a window shown
// again keeps its place and size, moved and shrunk only as far as the area needs.
// A window not yet framed by the window manager is fitted again with its real frame
// once it has one.
void showWithinScreen(QWidget* window);

}  // namespace qm
