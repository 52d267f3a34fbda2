#pragma once
// The main queue on the GUI thread's event loop.

#include <QObject>

#include <memory>

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

}  // namespace qm
