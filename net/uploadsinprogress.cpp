#include "net/uploadsinprogress.h"

#include <csignal>
#include <sys/socket.h>

namespace {

constexpr std::sig_atomic_t NoDescriptor = -1;

// Written only on the window's thread, read by a signal handler, which sees
// each slot either before or after a write.
volatile std::sig_atomic_t g_descriptors[UploadsInProgress::Capacity] = {
    NoDescriptor, NoDescriptor, NoDescriptor, NoDescriptor,
    NoDescriptor, NoDescriptor, NoDescriptor, NoDescriptor};
static_assert(sizeof g_descriptors / sizeof g_descriptors[0] == UploadsInProgress::Capacity);

} // namespace

namespace UploadsInProgress {

bool add(qintptr descriptor)
{
    if (descriptor < 0)
        return false;
    for (volatile std::sig_atomic_t &slot : g_descriptors) {
        if (slot == NoDescriptor) {
            slot = static_cast<std::sig_atomic_t>(descriptor);
            return true;
        }
    }
    return false;
}

void remove(qintptr descriptor)
{
    if (descriptor < 0)
        return;
    for (volatile std::sig_atomic_t &slot : g_descriptors) {
        if (slot == descriptor)
            slot = NoDescriptor;
    }
}

void resetAll()
{
    // Linger on, for no time: the last close of the connection, which the
    // end of the process makes, sends a reset. A descriptor that is closed
    // meanwhile only makes the call fail.
    const linger abortive{1, 0};
    for (const volatile std::sig_atomic_t &slot : g_descriptors) {
        const int descriptor = slot;
        if (descriptor != NoDescriptor)
            setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
}

} // namespace UploadsInProgress
