#include "web_server.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
// windows.h after winsock2.h.
#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
extern char **environ;
#endif

namespace qxtest {

namespace fs = std::filesystem;

namespace {

constexpr const char *kNginx = "/usr/sbin/nginx";

#if defined(_WIN32)
using Handle = SOCKET;
constexpr int kSendFlags = 0;
void closeSocket(intptr_t s) { closesocket(static_cast<SOCKET>(s)); }
bool wouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }
void startSockets() {
  static bool started = false;
  if (!started) {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
}
void setNonBlocking(intptr_t s) {
  u_long on = 1;
  ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on);
}
#else
using Handle = int;
constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed peer is no SIGPIPE
void closeSocket(intptr_t s) { close(static_cast<int>(s)); }
bool wouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }
void startSockets() {}
void setNonBlocking(intptr_t s) {
  const int fd = static_cast<int>(s);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
}
#endif

std::string readAll(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void pause(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

std::string freshLoopbackAddress() {
  static std::mt19937 random(static_cast<uint32_t>(
      std::random_device{}() ^
      static_cast<uint32_t>(
          std::chrono::steady_clock::now().time_since_epoch().count())));
  std::uniform_int_distribution<int> octet(2, 254);
  return "127." + std::to_string(octet(random) % 120 + 100) + "." +
         std::to_string(octet(random)) + "." + std::to_string(octet(random));
}

// ---- nginx
// -------------------------------------------------------------------

// Runs nginx with the arguments and waits for it where the platform can:
// natively for the launcher to end; under Wine a native process cannot be
// waited for, so the callers poll the pid file instead.
bool Nginx::run(const std::string &arguments) {
  const std::string command = std::string(kNginx) + " " + arguments;
#if defined(_WIN32)
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string line = command;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    error_ = "cannot run " + command;
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
#else
  std::vector<std::string> words;
  std::istringstream split(command);
  for (std::string w; split >> w;) words.push_back(w);
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, kNginx, nullptr, nullptr, argv.data(), environ) != 0) {
    error_ = "cannot run " + command;
    return false;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
#endif
}

bool Nginx::waitForPidFile(bool present, int ms) {
  const fs::path pid = fs::path(localDir_) / "nginx.pid";
  for (int waited = 0; waited < ms; waited += 20) {
    std::error_code ignored;
    if (fs::exists(pid, ignored) == present &&
        (!present || !readAll(pid).empty()))
      return true;
    pause(20);
  }
  return false;
}

bool Nginx::start(const std::string &address, uint16_t port) {
  stop();
  address_ = address;
#if defined(_WIN32)
  if (!fs::exists("Z:\\usr\\sbin\\nginx")) {
#else
  if (!fs::exists(kNginx)) {
#endif
    error_ = "nginx is not installed (./qx setup installs it)";
    return false;
  }
  static int serial = 0;
  const std::string name = "qxweb-" + address + "-" + std::to_string(++serial);
  unixDir_ = "/tmp/" + name;
#if defined(_WIN32)
  localDir_ = "Z:\\tmp\\" + name;
#else
  localDir_ = unixDir_;
#endif
  std::error_code ignored;
  fs::remove_all(localDir_, ignored);
  fs::create_directories(fs::path(localDir_) / "www", ignored);
  fs::create_directories(fs::path(localDir_) / "temp", ignored);
  std::ofstream conf(fs::path(localDir_) / "nginx.conf", std::ios::binary);
  const std::string d = unixDir_;
  conf << "worker_processes 1;\n"
       << "pid " << d << "/nginx.pid;\n"
       << "error_log " << d << "/error.log;\n"
       << "events { worker_connections 32; }\n"
       << "http {\n"
       << "  access_log off;\n"
       << "  client_body_temp_path " << d << "/temp/body;\n"
       << "  proxy_temp_path " << d << "/temp/proxy;\n"
       << "  fastcgi_temp_path " << d << "/temp/fastcgi;\n"
       << "  uwsgi_temp_path " << d << "/temp/uwsgi;\n"
       << "  scgi_temp_path " << d << "/temp/scgi;\n"
       << "  default_type text/html;\n"
       << "  server {\n"
       << "    listen " << address << ":" << port << ";\n"
       << "    server_name _;\n"
       << "    root " << d << "/www;\n"
       << "  }\n"
       << "}\n";
  conf.close();
  const std::string args =
      "-p " + d + " -c " + d + "/nginx.conf -e " + d + "/error.log";
  if (!run(args) || !waitForPidFile(true, 10000)) {
    error_ =
        "nginx did not start: " + readAll(fs::path(localDir_) / "error.log");
    return false;
  }
  running_ = true;
  return true;
}

void Nginx::stop() {
  if (!running_) return;
  running_ = false;
  run("-p " + unixDir_ + " -c " + unixDir_ + "/nginx.conf -e " + unixDir_ +
      "/error.log -s stop");
  waitForPidFile(false, 10000);
  std::error_code ignored;
  fs::remove_all(localDir_, ignored);
}

void Nginx::putFile(const std::string &relative, const std::string &content) {
  const fs::path path = fs::path(localDir_) / "www" / relative;
  std::error_code ignored;
  fs::create_directories(path.parent_path(), ignored);
  std::ofstream(path, std::ios::binary) << content;
}

void Nginx::removeFile(const std::string &relative) {
  std::error_code ignored;
  fs::remove(fs::path(localDir_) / "www" / relative, ignored);
}

// ---- the scripted server
// -------------------------------------------------------

ScriptedServer::~ScriptedServer() {
  for (Connection &c : connections_) closeSocket(c.socket);
  if (listener_ != -1) closeSocket(listener_);
}

bool ScriptedServer::listen(const std::string &address, uint16_t port,
                            int backlog) {
  startSockets();
  const Handle s = socket(AF_INET, SOCK_STREAM, 0);
  if (static_cast<intptr_t>(s) == -1) return false;
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&on),
             sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = inet_addr(address.c_str());
  if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      ::listen(s, backlog) != 0) {
    closeSocket(static_cast<intptr_t>(s));
    return false;
  }
  listener_ = static_cast<intptr_t>(s);
  setNonBlocking(listener_);
  return true;
}

void ScriptedServer::serve() {
  for (;;) {
    const Handle s = accept(static_cast<Handle>(listener_), nullptr, nullptr);
    if (static_cast<intptr_t>(s) == -1) break;
    setNonBlocking(static_cast<intptr_t>(s));
    connections_.push_back({static_cast<intptr_t>(s), ""});
  }
  for (size_t i = 0; i < connections_.size();) {
    Connection &c = connections_[i];
    if (!c.answering) {
      char buffer[1024];
      const int got = static_cast<int>(
          recv(static_cast<Handle>(c.socket), buffer, sizeof buffer, 0));
      if (got > 0) c.request.append(buffer, static_cast<size_t>(got));
      c.answering = c.request.find("\r\n\r\n") != std::string::npos;
      if (c.answering) requests.push_back(c.request);
      const bool waiting = got > 0 || (got < 0 && wouldBlock());
      if (!c.answering && waiting) {
        ++i;
        continue;
      }
    }
    if (c.answering) {
      size_t piece = reply.size() - c.sent;
      if (pieceSize && piece > pieceSize) piece = pieceSize;
      const int sent =
          send(static_cast<Handle>(c.socket), reply.data() + c.sent,
               static_cast<int>(piece), kSendFlags);
      if (sent > 0) c.sent += static_cast<size_t>(sent);
      if ((sent >= 0 || wouldBlock()) && c.sent < reply.size()) {
        ++i;
        continue;
      }
    }
    closeSocket(c.socket);
    connections_.erase(connections_.begin() + static_cast<long>(i));
  }
}

}  // namespace qxtest
