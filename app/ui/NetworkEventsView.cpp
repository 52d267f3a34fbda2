// The events view behind network monitoring's FlowEventsView. Kept apart from the
// monitor so that the monitor's tests need no events view of the window.

#include "NetworkMonitor.h"
#include "ViewController.h"

namespace qm {

namespace {

class ViewControllerFlowEvents final : public FlowEventsView {
public:
    explicit ViewControllerFlowEvents(ViewController& view) : view_(view) {}
    std::shared_ptr<es::ESLogger> eventSource() const override { return view_.eslogger(); }
    void addEvent(es::ESMessage message) override { view_.addEvent(std::move(message)); }

private:
    ViewController& view_;
};

}  // namespace

std::shared_ptr<FlowEventsView> flowEventsView(ViewController& view) {
    return std::make_shared<ViewControllerFlowEvents>(view);
}

}  // namespace qm
