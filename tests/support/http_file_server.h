// A small HTTP file server on 127.0.0.1 for tests: files served whole or by one byte
// range (a request with more than one Range field is refused with 400), redirects, and
// a few ways of answering wrongly. Every request head is kept for the test to look at.
// One thread per connection; all of them end when the server goes.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/os/time.h"
#include "net/socket.h"

namespace kxt {

class HttpFileServer {
 public:
  enum class Mode {
    kRanges,       // 206 with Content-Range and Content-Length for a range, else 200
    kIgnoreRange,  // always 200 with the whole file
    kChunked,      // 206 (HTTP/1.1), the range in chunks of 1000 bytes
    kNoLength,     // 206 with Content-Range, no length: the end of the connection ends it
    kCapRange,     // says the range ends `cap` bytes on, then sends to the end of the file
    kStall,        // 206, the first `cap` bytes, then nothing until the client goes
    kNoSize,       // 200 with the whole file, neither length nor range: the close ends it
  };

  HttpFileServer() {
    kx::tcp_listen("127.0.0.1", 0, 32, listen_);
    port_ = kx::local_port(listen_.fd());
    accepter_ = std::thread([this] { accept_loop(); });
  }
  ~HttpFileServer() {
    stop_.store(true);
    if (accepter_.joinable()) accepter_.join();
    std::vector<std::thread> handlers;
    {
      std::lock_guard<std::mutex> l(lock_);
      handlers.swap(handlers_);
    }
    for (auto& t : handlers)
      if (t.joinable()) t.join();
  }
  HttpFileServer(const HttpFileServer&) = delete;
  HttpFileServer& operator=(const HttpFileServer&) = delete;

  int port() const { return port_; }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

  void file(const std::string& path, std::string data, Mode mode = Mode::kRanges, int64_t cap = 0) {
    std::lock_guard<std::mutex> l(lock_);
    routes_[path] = Route{0, {}, std::move(data), mode, cap};
  }
  void redirect(const std::string& path, int status, const std::string& location) {
    std::lock_guard<std::mutex> l(lock_);
    routes_[path] = Route{status, location, {}, Mode::kRanges, 0};
  }
  // The request heads received so far, in order.
  std::vector<std::string> heads() {
    std::lock_guard<std::mutex> l(lock_);
    return heads_;
  }
  // The path of each request so far.
  std::vector<std::string> paths() {
    std::vector<std::string> out;
    for (const std::string& h : heads()) {
      const std::size_t a = h.find(' ');
      const std::size_t b = a == std::string::npos ? a : h.find(' ', a + 1);
      out.push_back(b == std::string::npos ? std::string() : h.substr(a + 1, b - a - 1));
    }
    return out;
  }

  // The values of every field called name (any case) in a head.
  static std::vector<std::string> fields(const std::string& head, const std::string& name) {
    std::vector<std::string> out;
    std::size_t at = head.find("\r\n");
    while (at != std::string::npos && at + 2 < head.size()) {
      const std::size_t start = at + 2, end = head.find("\r\n", start);
      const std::string line = head.substr(start, end == std::string::npos ? std::string::npos : end - start);
      const std::size_t colon = line.find(':');
      if (colon == name.size() && lower(line.substr(0, colon)) == lower(name)) {
        std::size_t v = colon + 1;
        while (v < line.size() && line[v] == ' ') ++v;
        out.push_back(line.substr(v));
      }
      at = end;
    }
    return out;
  }

 private:
  struct Route {
    int redirect_status = 0;
    std::string location;
    std::string data;
    Mode mode = Mode::kRanges;
    int64_t cap = 0;
  };

  static std::string lower(std::string s) {
    for (char& c : s)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
  }

  void accept_loop() {
    for (int i = 0; i < 100000 && !stop_.load(); ++i) {
      kx::Socket c;
      if (kx::tcp_accept(listen_.fd(), 200, c) != 1) continue;
      std::lock_guard<std::mutex> l(lock_);
      handlers_.emplace_back([this, fd = c.release()] {
        kx::Socket conn(fd);
        serve(conn);
      });
    }
  }

  bool send_text(kx::Socket& c, const std::string& s) { return kx::send_all(c.fd(), s.data(), s.size(), 10000); }

  // Sends data in pieces, giving up when the server stops.
  bool send_data(kx::Socket& c, const char* p, std::size_t n) {
    while (n > 0 && !stop_.load()) {
      const std::size_t k = std::min<std::size_t>(n, 16384);
      if (!kx::send_all(c.fd(), p, k, 10000)) return false;
      p += k;
      n -= k;
    }
    return n == 0;
  }

  void serve(kx::Socket& c) {
    std::string head;
    const int64_t deadline = kx::mono_ms() + 5000;
    char buf[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
      if (stop_.load() || kx::mono_ms() > deadline || head.size() > 16384) return;
      const long n = kx::recv_some(c.fd(), buf, sizeof buf, 200);
      if (n == -2) continue;
      if (n <= 0) return;
      head.append(buf, static_cast<std::size_t>(n));
    }
    head.resize(head.find("\r\n\r\n") + 4);
    Route r;
    bool found = false;
    {
      std::lock_guard<std::mutex> l(lock_);
      heads_.push_back(head);
      const std::size_t a = head.find(' ');
      const std::size_t b = a == std::string::npos ? a : head.find(' ', a + 1);
      std::string path = b == std::string::npos ? std::string() : head.substr(a + 1, b - a - 1);
      path = path.substr(0, path.find('?'));
      auto it = routes_.find(path);
      if (it != routes_.end()) {
        r = it->second;
        found = true;
      }
    }
    if (!found) {
      send_text(c, "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
      return;
    }
    if (r.redirect_status != 0) {
      send_text(c, "HTTP/1.0 " + std::to_string(r.redirect_status) + " Moved\r\n" +
                       (r.location.empty() ? std::string() : "Location: " + r.location + "\r\n") +
                       "Content-Length: 0\r\n\r\n");
      return;
    }
    const std::vector<std::string> ranges = fields(head, "Range");
    if (ranges.size() > 1) {
      send_text(c, "HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
      return;
    }
    const int64_t size = static_cast<int64_t>(r.data.size());
    int64_t first = 0, last = size - 1;
    bool partial = false;
    if (ranges.size() == 1 && r.mode != Mode::kIgnoreRange && r.mode != Mode::kNoSize) {
      const std::string& v = ranges[0];
      if (v.rfind("bytes=", 0) != 0 || v.find(',') != std::string::npos) {
        send_text(c, "HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
        return;
      }
      const std::size_t dash = v.find('-');
      if (dash == 6 && dash + 1 < v.size()) {  // "bytes=-n": the last n bytes
        first = std::max<int64_t>(0, size - std::stoll(v.substr(dash + 1)));
      } else {
        first = std::stoll(v.substr(6, dash - 6));
        if (dash + 1 < v.size()) last = std::min<int64_t>(last, std::stoll(v.substr(dash + 1)));
      }
      if (first >= size || first > last) {
        send_text(c, "HTTP/1.0 416 Range Not Satisfiable\r\nContent-Range: bytes */" + std::to_string(size) +
                         "\r\nContent-Length: 0\r\n\r\n");
        return;
      }
      partial = true;
    }
    const std::string range_line = "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) +
                                   "/" + std::to_string(size) + "\r\n";
    const char* body = r.data.data() + first;
    const std::size_t len = static_cast<std::size_t>(last - first + 1);
    switch (r.mode) {
      case Mode::kRanges:
      case Mode::kIgnoreRange:
        if (partial) {
          send_text(c, "HTTP/1.0 206 Partial Content\r\n" + range_line + "Content-Length: " + std::to_string(len) +
                           "\r\nContent-Type: video/mp2t\r\n\r\n");
        } else {
          send_text(c, "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(len) +
                           "\r\nContent-Type: video/mp2t\r\n\r\n");
        }
        send_data(c, body, len);
        return;
      case Mode::kChunked: {
        if (!send_text(c, "HTTP/1.1 206 Partial Content\r\n" + range_line +
                              "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n"))
          return;
        for (std::size_t at = 0; at < len && !stop_.load(); at += 1000) {
          const std::size_t k = std::min<std::size_t>(1000, len - at);
          char size_line[32];
          std::snprintf(size_line, sizeof size_line, "%zx\r\n", k);
          if (!send_text(c, size_line) || !send_data(c, body + at, k) || !send_text(c, "\r\n")) return;
        }
        send_text(c, "0\r\n\r\n");
        return;
      }
      case Mode::kNoSize:
        if (send_text(c, "HTTP/1.0 200 OK\r\nContent-Type: video/mp2t\r\n\r\n")) send_data(c, body, len);
        return;
      case Mode::kNoLength:
        if (send_text(c, "HTTP/1.0 206 Partial Content\r\n" + range_line + "\r\n")) send_data(c, body, len);
        return;
      case Mode::kCapRange: {
        const int64_t says = std::min<int64_t>(last, first + r.cap - 1);
        if (send_text(c, "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
                             std::to_string(says) + "/" + std::to_string(size) + "\r\n\r\n"))
          send_data(c, body, len);
        return;
      }
      case Mode::kStall: {
        if (!send_text(c, "HTTP/1.0 206 Partial Content\r\n" + range_line + "Content-Length: " +
                              std::to_string(len) + "\r\n\r\n") ||
            !send_data(c, body, std::min<std::size_t>(len, static_cast<std::size_t>(r.cap))))
          return;
        // Nothing more until the client closes or the server stops.
        const int64_t until = kx::mono_ms() + 120000;
        while (!stop_.load() && kx::mono_ms() < until) {
          const long n = kx::recv_some(c.fd(), buf, sizeof buf, 200);
          if (n == 0 || n == -1) return;
        }
        return;
      }
    }
  }

  kx::Socket listen_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread accepter_;
  std::mutex lock_;
  std::vector<std::thread> handlers_;
  std::map<std::string, Route> routes_;
  std::vector<std::string> heads_;
};

}  // namespace kxt
