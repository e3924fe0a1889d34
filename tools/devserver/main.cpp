#include "devserver.h"
#include "update_site.h"

#include "tavrine/base/console.h"

#include <pthread.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <thread>

int main(int argc, char** argv) {
  std::string message;
  const auto options = devserver::parseArguments(argc, argv, message);
  if (!options) {
    console::line(message);
    return message.starts_with("Usage:") ? 0 : 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  // SIGINT and SIGTERM are taken by a thread of their own, which stops the
  // server; every other thread keeps them blocked.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  devserver::DevServer server(*options);
  if (!server.bind()) {
    console::line("devserver: cannot listen on {}:{}\n", options->bind, options->port);
    return 1;
  }
  std::optional<devserver::UpdateSite> updates;
  if (!options->updates_dir.empty()) {
    updates.emplace(devserver::UpdateSiteOptions{options->updates_dir, options->bind,
                                                 options->update_port, options->log_requests});
    if (!updates->start()) {
      console::line("devserver: cannot listen on {}:{}\n", options->bind, options->update_port);
      return 1;
    }
    console::line("devserver: update site on http://{}:{}/updates/ from {}\n", options->bind,
                  updates->port(), options->updates_dir);
  }
  std::thread waiter([&] {
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    // A stop before the loop runs would be lost.
    while (!server.isRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server.stop();
  });
  waiter.detach();
  console::line("devserver: listening on {}\n", server.baseUrl());
  server.serve();
  if (updates) updates->stop();
  console::line("devserver: stopped\n");
  return 0;
}
