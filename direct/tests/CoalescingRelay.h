// A loopback TCP relay in front of a switch that holds back what the switch
// sends until it has been quiet for a spell, then passes it on in one write.
// A reply that the switch writes in several pieces thus reaches the client
// all at once: the case of several TLS records already waiting after a read.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>

namespace tamlix::direct::testing {

class CoalescingRelay {
 public:
  CoalescingRelay(std::uint16_t target, int quietMs) : target_(target), quietMs_(quietMs) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 4) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("relay: cannot listen");
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~CoalescingRelay() {
    stop_ = true;
    thread_.join();
    ::close(listen_);
  }
  std::uint16_t port() const { return port_; }

 private:
  void Run() {
    pollfd l{listen_, POLLIN, 0};
    while (!stop_ && ::poll(&l, 1, 50) <= 0) {
    }
    if (stop_) return;
    int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(target_);
    if (client >= 0 && server >= 0 && ::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) Pump(client, server);
    if (client >= 0) ::close(client);
    if (server >= 0) ::close(server);
  }

  void Pump(int client, int server) {
    std::string held;
    char buf[16384];
    while (!stop_) {
      pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      int rc = ::poll(p, 2, held.empty() ? 50 : quietMs_);
      if (rc == 0 && !held.empty()) {
        if (::send(client, held.data(), held.size(), MSG_NOSIGNAL) < 0) return;
        held.clear();
        continue;
      }
      if (rc <= 0) continue;
      if (p[0].revents & (POLLIN | POLLHUP)) {
        ssize_t n = ::recv(client, buf, sizeof buf, 0);
        if (n <= 0 || ::send(server, buf, static_cast<size_t>(n), MSG_NOSIGNAL) < 0) return;
      }
      if (p[1].revents & (POLLIN | POLLHUP)) {
        ssize_t n = ::recv(server, buf, sizeof buf, 0);
        if (n <= 0) {
          if (!held.empty()) ::send(client, held.data(), held.size(), MSG_NOSIGNAL);
          return;
        }
        held.append(buf, static_cast<size_t>(n));
      }
    }
  }

  std::uint16_t target_;
  int quietMs_;
  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tamlix::direct::testing
