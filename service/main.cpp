#include <malloc.h>

#include "platform/CrashHandler.h"
#include "service/ServiceModule.h"

int main(int argc, char** argv) {
    // Large blocks (a connection's 10 MiB rings, merge buffers, batches) are
    // mapped on their own and given back to the system when freed. Left to
    // itself the allocator raises this limit to the largest block freed so
    // far, after which such blocks come from its heaps: calloc then touches
    // every page of a ring at once, and freed rings stay resident, so the
    // service grows with every reconnect of a node.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    // The host thread gets its alternate signal stack before anything runs on
    // it, so that its stack overflow is reported like any other thread's.
    InstallCrashAltStack();
    return CServiceModule::GetInstance()->Main(argc, argv);
}
