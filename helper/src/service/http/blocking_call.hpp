#pragma once

#include "service/http/drain.hpp"
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

// Runs `work` on the blocking pool (its exclusive step, if any, one at a
// time with every other such step) and completes on the caller's executor
// with the reply it built, or with the reply of `work.on_failure` when the
// work threw or could not be started. Worker threads never block on it, and
// `hold` keeps the shutdown waiting until the work is done.
template <class CompletionToken>
auto async_run_blocking(runtime::BlockingPool& pool, BlockingWork work, Drain::Hold hold,
                        CompletionToken&& token) {
  return boost::asio::async_initiate<CompletionToken, void(Response)>(
      [&pool](auto handler, BlockingWork blocking, Drain::Hold held) {
        auto executor = boost::asio::get_associated_executor(handler);
        struct State {
          decltype(handler) on_done;
          decltype(boost::asio::make_work_guard(executor)) keep_alive;
          BlockingWork work;
          Drain::Hold hold;

          void finish(Response response) {
            auto target = keep_alive.get_executor();
            boost::asio::dispatch(
                target, [done = std::move(on_done), response = std::move(response)]() mutable {
                  std::move(done)(std::move(response));
                });
            hold.reset();
          }
          Response failed(const std::exception_ptr& failure) {
            return work.on_failure(describe_failure(failure));
          }
        };
        auto state = std::make_shared<State>(State{std::move(handler),
                                                   boost::asio::make_work_guard(executor),
                                                   std::move(blocking), std::move(held)});
        try {
          pool.submit([state, &pool] {
            std::variant<Response, ExclusiveStep> outcome;
            try {
              outcome = state->work.run();
            } catch (...) {
              state->finish(state->failed(std::current_exception()));
              return;
            }
            if (auto* response = std::get_if<Response>(&outcome)) {
              state->finish(std::move(*response));
              return;
            }
            try {
              pool.submit_serial([state, step = std::move(std::get<ExclusiveStep>(outcome))] {
                Response response;
                try {
                  response = step();
                } catch (...) {
                  response = state->failed(std::current_exception());
                }
                state->finish(std::move(response));
              });
            } catch (...) {
              state->finish(state->failed(std::current_exception()));
            }
          });
        } catch (...) {
          state->finish(state->failed(std::current_exception()));
        }
      },
      token, std::move(work), std::move(hold));
}

}  // namespace service::http
