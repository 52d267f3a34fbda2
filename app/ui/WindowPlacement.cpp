#include "WindowPlacement.h"

#include <QApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace qm {

namespace {

QMargins frameMargins(const QWidget* window) {
    const QRect frame = window->frameGeometry(), inner = window->geometry();
    return {inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
            frame.bottom() - inner.bottom()};
}

// The frame a window gets from the window manager. A window not yet shown has none
// yet; another shown window's stands in, as the manager frames them alike.
QMargins expectedFrame(const QWidget* window) {
    if (const QMargins own = frameMargins(window); !own.isNull()) return own;
    for (const QWidget* other : QApplication::topLevelWidgets())
        if (other != window && other->isVisible())
            if (const QMargins theirs = frameMargins(other); !theirs.isNull()) return theirs;
    return {};
}

}  // namespace

QRect fittedInto(const QRect& frame, const QRect& area) {
    const QSize size = frame.size().boundedTo(area.size());
    const int x = std::clamp(frame.x(), area.left(), area.left() + area.width() - size.width());
    const int y = std::clamp(frame.y(), area.top(), area.top() + area.height() - size.height());
    return {QPoint(x, y), size};
}

void showWithinScreen(QWidget* window) {
    // Qt marks a window moved by the program; only this function moves these windows.
    const bool placed = window->testAttribute(Qt::WA_Moved);
    const QWidget* active = QApplication::activeWindow();
    const QScreen* screen = !placed && active && active != window ? active->screen() : window->screen();
    const QRect area = screen->availableGeometry();
    const QMargins frame = expectedFrame(window);
    QRect wanted(window->pos(), window->size().grownBy(frame));  // pos() is the frame's corner
    if (!placed) wanted.moveCenter(area.center());
    const QRect fitted = fittedInto(wanted, area);
    window->resize(fitted.size().shrunkBy(frame));
    window->move(fitted.topLeft());
    window->show();
}

}  // namespace qm
