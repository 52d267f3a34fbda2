#include "WindowPlacement.h"

#include <QApplication>
#include <QEvent>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace qm {

namespace {

// Moves and sizes the window so that its frame, of these margins, is wanted fitted into area.
void fitFrame(QWidget* window, const QRect& area, const QRect& wanted, const QMargins& frame) {
    const QRect fitted = fittedInto(wanted, area);
    if (fitted == wanted && wanted == window->frameGeometry()) return;
    window->resize(fitted.size().shrunkBy(frame));
    window->move(fitted.topLeft());
}

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

// Fits the window again once its window manager has framed it: until then its frame
// was a guess (none, or another window's). Ends with that fit or when the window hides.
class FrameFit : public QObject {
public:
    static constexpr const char* name = "qm-frame-fit";
    explicit FrameFit(QWidget* window) : QObject(window) {
        setObjectName(name);
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* window = static_cast<QWidget*>(watched);
        switch (event->type()) {
            case QEvent::Hide:
                finish(window);
                break;
            case QEvent::Move:
            case QEvent::Resize:
            case QEvent::Show:
            case QEvent::WindowActivate:
            case QEvent::UpdateRequest:
                if (!frameMargins(window).isNull()) {
                    finish(window);
                    fitFrame(window, window->screen()->availableGeometry(), window->frameGeometry(),
                             frameMargins(window));
                }
                break;
            default:
                break;
        }
        return false;
    }

private:
    void finish(QWidget* window) {
        window->removeEventFilter(this);
        setObjectName({});  // a new fit may start before this one is deleted
        deleteLater();
    }
};

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
    fitFrame(window, area, wanted, frame);
    window->show();
    if (frameMargins(window).isNull() && !window->findChild<QObject*>(FrameFit::name, Qt::FindDirectChildrenOnly))
        new FrameFit(window);
}

}  // namespace qm
