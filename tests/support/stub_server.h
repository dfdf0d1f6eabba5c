// A tiny HTTP server on 127.0.0.1 standing in for a remote service (a
// language model, a chat webhook), so that clients are tested without
// reaching the network.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace velquor::testing {

// What the stub saw of the last request.
struct SeenRequest {
  std::string path;
  std::string body;
  httplib::Headers headers;

  std::string header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "<absent>" : it->second;
  }
};

// Answers every POST with the status and body chosen by `answer`, after an
// optional delay, and records the request.
class StubServer {
 public:
  struct Answer {
    int status = 200;
    std::string body;
    int delay_ms = 0;
    httplib::Headers headers;  // sent with the answer ("Retry-After")
  };

  explicit StubServer(std::function<Answer(const httplib::Request&)> answer) {
    server_.Post(".*", [this, answer](const httplib::Request& request, httplib::Response& response) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_ = {request.path, request.body, request.headers};
      }
      const Answer chosen = answer(request);
      if (chosen.delay_ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(chosen.delay_ms));
      response.status = chosen.status;
      for (const auto& [name, value] : chosen.headers) response.set_header(name, value);
      response.set_content(chosen.body, "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("stub server cannot bind to 127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  ~StubServer() {
    server_.stop();
    thread_.join();
  }

  std::string base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  SeenRequest seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  SeenRequest seen_;
};

// Sets an environment variable for the life of the object, restoring the
// earlier state afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value == nullptr) ::unsetenv(name); else ::setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (had_) ::setenv(name_.c_str(), old_.c_str(), 1); else ::unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

}  // namespace velquor::testing
