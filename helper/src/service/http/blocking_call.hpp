#pragma once

#include "service/http/message.hpp"
#include "service/runtime/blocking_pool.hpp"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>

#include <exception>
#include <memory>
#include <string>

namespace service::http {

// The failure's text for a task-failure reply.
inline std::string describe_failure(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "the task ended abnormally";
  }
}

// Runs `work` on the blocking pool and completes on the caller's executor
// with the reply it built, or with the reply of `work.on_failure` when the
// work threw or could not be started. Worker threads never block on it.
template <class CompletionToken>
auto async_run_blocking(runtime::BlockingPool& pool, BlockingWork work, CompletionToken&& token) {
  return boost::asio::async_initiate<CompletionToken, void(Response)>(
      [&pool](auto handler, BlockingWork blocking) {
        auto executor = boost::asio::get_associated_executor(handler);
        struct State {
          decltype(handler) on_done;
          decltype(boost::asio::make_work_guard(executor)) keep_alive;
          BlockingWork work;

          void finish(Response response) {
            auto target = keep_alive.get_executor();
            boost::asio::dispatch(
                target, [done = std::move(on_done), response = std::move(response)]() mutable {
                  std::move(done)(std::move(response));
                });
          }
        };
        auto state = std::make_shared<State>(
            State{std::move(handler), boost::asio::make_work_guard(executor), std::move(blocking)});
        try {
          pool.submit([state] {
            Response response;
            try {
              response = state->work.run();
            } catch (...) {
              response = state->work.on_failure(describe_failure(std::current_exception()));
            }
            state->finish(std::move(response));
          });
        } catch (...) {
          state->finish(state->work.on_failure(describe_failure(std::current_exception())));
        }
      },
      token, std::move(work));
}

}  // namespace service::http
