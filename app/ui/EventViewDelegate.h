#pragma once
// How the events view reports back to its window controller. eventsDidLoad,
// saveDidComplete and saveDidFail are called from background queues; the
// implementer hops to the main queue itself. The other operations reach the window's other parts (the
// event types pane and the toolbar tints) and are called on the main queue.

#include <string>
#include <vector>

#include "EventItem.h"

namespace qm {

class EventViewDelegate {
public:
    virtual ~EventViewDelegate() = default;

    // A file finished loading, or a stop completed. Background queue.
    virtual void eventsDidLoad() = 0;
    // A save finished writing. The saving thread.
    virtual void saveDidComplete() = 0;
    // A save failed and left the earlier file as it was; its alert is already on
    // its way. The saving thread.
    virtual void saveDidFail() {}

    // One event of this short type name moved into the store: count it in the
    // event types pane. Main queue.
    virtual void countEventTypes(const std::string& shortName) { (void)shortName; }
    // The events of a batch that moved into the store, per short type name: count
    // them in the event types pane. Main queue.
    virtual void countEventTypeBatch(const std::vector<TypeCount>& counts) {
        for (const TypeCount& type : counts) {
            const std::string name(type.name);
            for (std::size_t i = 0; i < type.count; ++i) countEventTypes(name);
        }
    }
    // Every filter was cleared: deselect every item of the event types pane
    // without running its selection handlers. Main queue.
    virtual void deselectAllEventTypes() {}
    // Every filter was cleared: the search field shows no text and the cleared
    // search category. Main queue.
    virtual void filtersDidClear() {}
    // The events were redrawn, after any change of the filters: the filter
    // buttons show the state of their filters. Main queue.
    virtual void filtersDidChange() {}
    // A time window was set from a row: show the warp filter as on. Main queue.
    virtual void timeWarpDidEnable() {}
    // A PID chain was set from a row: show the chain filter as on. Main queue.
    virtual void pidChainDidEnable() {}
};

}  // namespace qm
