// A directory server that hangs, for the tests of directory logons: a
// loopback listener that accepts every connection and then never answers,
// or answers one byte at a time (the start of a TLS record that never ends,
// a byte every `period`). It stops, and closes every connection, when it is
// destroyed.
// Test support: POSIX sockets and threads only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class HungDirectory {
 public:
  enum Kind { kSilent, kByteAtATime };

  explicit HungDirectory(Kind kind, std::chrono::milliseconds period = std::chrono::milliseconds(300))
      : kind_(kind), period_(period) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listener_, 64) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      return;
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~HungDirectory() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : accepted_) close(fd);
    if (listener_ >= 0) close(listener_);
  }
  HungDirectory(const HungDirectory&) = delete;
  HungDirectory& operator=(const HungDirectory&) = delete;

  int Port() const { return port_; }
  std::string SecureURI() const { return "ldaps://127.0.0.1:" + std::to_string(port_); }
  // Connections accepted so far.
  int Accepted() {
    std::lock_guard<std::mutex> hold(lock_);
    return static_cast<int>(accepted_.size());
  }

 private:
  void Serve() {
    // The start of a handshake record of 16 KiB, then its bytes one by one.
    const unsigned char recordHead[] = {0x16, 0x03, 0x03, 0x3F, 0xFF};
    auto nextByte = std::chrono::steady_clock::now();
    std::vector<size_t> sent;
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 20) == 1) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          std::lock_guard<std::mutex> hold(lock_);
          accepted_.push_back(fd);
          sent.push_back(0);
        }
      }
      if (kind_ != kByteAtATime || std::chrono::steady_clock::now() < nextByte) continue;
      nextByte += period_;
      std::lock_guard<std::mutex> hold(lock_);
      for (size_t i = 0; i < accepted_.size(); ++i) {
        const unsigned char byte = sent[i] < sizeof recordHead ? recordHead[sent[i]] : 'A';
        if (send(accepted_[i], &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) ++sent[i];
      }
    }
  }

  const Kind kind_;
  const std::chrono::milliseconds period_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex lock_;
  std::vector<int> accepted_;
};
