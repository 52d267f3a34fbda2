// Flowspur: the network-flow system extension. It hosts the content filter and
// listens for the application on the Mach service that its bundle names; from then on
// everything happens in callbacks.

#include <chrono>
#include <memory>

#include "Dispatch.h"
#include "FilterDataProvider.h"
#include "FilterHost.h"
#include "IPCConnection.h"

int main() {
    netext::NEProvider::startSystemExtensionMode([] { return std::make_shared<flowspur::FilterDataProvider>(); });
    flowspur::IPCConnection::shared()->startListener();
    // The main thread parks here, running main-queue work, for good.
    for (;;) dispatch::runMainQueueUntil([] { return false; }, std::chrono::hours(24));
}
