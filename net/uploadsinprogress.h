#pragma once

// The connections of the uploads this process is sending, for a signal
// handler that ends the process: the close is the transfer protocol's only
// end mark, so the system's orderly close of them at the process's end
// would hand their downloaders a cut file as the whole one. The handler
// makes them end with a reset instead.
//
// The uploading side notes and drops its connections on the window's
// thread; resetAll() reads them from a signal handler and uses only calls
// that are safe there.

#include <QtGlobal>

namespace UploadsInProgress {

/// Connections noted at most; one copy sends one upload at a time.
inline constexpr int Capacity = 8;

/// Notes the connection with this descriptor. False, and not noted, when
/// Capacity connections are noted already.
bool add(qintptr descriptor);
/// Forgets it; its connection is about to be closed, or is closed.
void remove(qintptr descriptor);

/// Makes every noted connection end with a reset when the process ends,
/// which closes them. Async-signal-safe; for a process about to end.
void resetAll();

} // namespace UploadsInProgress
