#pragma once
// The main queue on the GUI thread's event loop.

#include <QObject>
#include <QPointer>

#include <memory>
#include <utility>

#include "Dispatch.h"

namespace qm {

// While it lives, main-queue work runs on the GUI thread's event loop, one item per
// posted event, in order. The items wait in a queue of its own under a standard mutex and
// the posted event carries none of them, so a data-race checker sees every hand-over
// (Qt's event queue is not built for it and hides its locks). Made and destroyed on the
// GUI thread, while the application object lives.
class MainQueueHook : public QObject {
    Q_OBJECT
public:
    MainQueueHook();
    ~MainQueueHook() override;

private:
    Q_INVOKABLE void runNext();

    struct Waiting;
    std::shared_ptr<Waiting> waiting_;  // shared with the hook, which may outlive this
};

// Runs f(*object) on the main queue later, unless the object has gone by then. Any
// thread, while the object lives. Work for the GUI thread goes this way rather than
// through Qt's queued calls, whose hand-over a data-race checker cannot see.
template <class T, class F>
void onMainQueue(T* object, F f) {
    dispatch::DispatchQueue::main().async([object = QPointer<T>(object), f = std::move(f)] {
        if (object) f(*object);
    });
}

}  // namespace qm
