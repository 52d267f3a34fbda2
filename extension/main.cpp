// Flowspur: the network-flow system extension. It hosts the content filter and
// listens for the application on the Mach service that its bundle names; from then on
// everything happens in callbacks.

#include <memory>

#include "FilterDataProvider.h"
#include "FilterHost.h"
#include "IPCConnection.h"

int main() {
    netext::NEProvider::startSystemExtensionMode([] { return std::make_shared<flowspur::FilterDataProvider>(); });
    flowspur::IPCConnection::shared()->startListener();
    netext::dispatchMain();
}
