// Flowspur: the network-flow system extension. It listens for the application on the
// Mach service that its bundle names and hosts the content filter; from then on
// everything happens in callbacks.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "Dispatch.h"
#include "FilterDataProvider.h"
#include "FilterHost.h"
#include "FilterManager.h"
#include "IPCConnection.h"
#include "XPC.h"

int main(int argc, char** argv) {
    netext::NEProvider::blockStopSignals();
    // Only the process that listens on the service runs the filter: a second one
    // leaves the table of the first alone.
    if (!flowspur::IPCConnection::shared()->startListener()) {
        std::fprintf(stderr, "flowspur: cannot listen on its service (is another flowspur running?); exiting\n");
        std::fflush(stderr);
        ::_exit(1);
    }
    // The process ends with _exit on a stop signal, once the filter has stopped; first
    // the flow messages still waiting go to the application, and the XPC layer writes
    // what it still holds (the messages, the refusals of the last minute).
    netext::NEProvider::startSystemExtensionMode([] { return std::make_shared<flowspur::FilterDataProvider>(); },
                                                 netext::filterConfigurationPath(argc, argv), [] {
                                                     flowspur::IPCConnection::shared()->finishSharing();
                                                     xpc::finish();
                                                 });
    // The main thread parks here, running main-queue work, for good.
    for (;;) dispatch::runMainQueueUntil([] { return false; }, std::chrono::hours(24));
}
