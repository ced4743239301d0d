#pragma once

#include <sys/resource.h>

namespace service {

// Raises the soft limit on open descriptors to the hard one, so that the
// number of connections is bounded by memory and not by a default of 1,024.
// What was found is kept for children, which get it back before exec.
// Call on the main thread before any other thread exists.
void raise_open_file_limit();

// The limit as the process found it (the current one if it was never raised).
rlimit original_open_file_limit();

}  // namespace service
