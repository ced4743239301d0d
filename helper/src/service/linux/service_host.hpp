#pragma once

#include "common/error.hpp"
#include "service/linux/owner_ids.hpp"
#include "service/runtime/runtime.hpp"

#include <boost/asio/awaitable.hpp>

#include <signal.h>

namespace service::linux {

// SIGTERM and SIGINT: the signals that stop the service.
sigset_t shutdown_signals();

// Serves the owner until SIGTERM or SIGINT, then stops in order.
boost::asio::awaitable<Result<void>> run_service(Owner owner, runtime::Runtime& runtime);

}  // namespace service::linux
