// Stand-in for the real Core, which is not part of this repository. It does
// what the helper relies on (takes the address argument, writes UTF-8 lines
// to standard error, ends promptly on SIGTERM) and lets a test steer it.
//
// It connects to the Unix socket at its address and reads one command per
// line from it:
//   exit N           exit with status N
//   ignore-term      keep running on SIGTERM
//   say TEXT         write TEXT and a line feed to standard error
//   raw HEX          write the bytes given in hexadecimal to standard error
//   close-stderr     close standard error and keep running
//   startup-fds      answer with the descriptors it was started with
// Each command is answered with "ok" on the socket once done.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int g_signal_pipe[2] = {-1, -1};

void on_terminate(int) {
  const int saved = errno;
  const char byte = 't';
  [[maybe_unused]] auto written = ::write(g_signal_pipe[1], &byte, 1);
  errno = saved;
}

void write_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;
    done += static_cast<std::size_t>(n);
  }
}

std::string from_hex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
  }
  return bytes;
}

int connect_to(const char* address) {
  sockaddr_un peer{};
  peer.sun_family = AF_UNIX;
  if (std::strlen(address) >= sizeof peer.sun_path)
    return -1;
  std::strcpy(peer.sun_path, address);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

// The descriptors open at start, before this program opened its own.
std::string open_descriptors() {
  std::string list;
  for (int fd = 0; fd < 1024; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0)
      list += (list.empty() ? "" : ",") + std::to_string(fd);
  }
  return list;
}

int main(int argc, char** argv) {
  const std::string startup_fds = open_descriptors();
  if (argc != 2) {
    write_all(2, "usage: KorvaneVeskCore ADDRESS\n");
    return 2;
  }
  if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
    return 1;
  struct sigaction action {};
  action.sa_handler = on_terminate;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);

  write_all(2, std::string("KorvaneVeskCore serving ") + argv[1] + "\n");
  int control = connect_to(argv[1]);
  bool ignore_term = false;
  std::string pending;

  for (;;) {
    pollfd watched[2] = {{g_signal_pipe[0], POLLIN, 0}, {control, POLLIN, 0}};
    const int ready = ::poll(watched, control >= 0 ? 2 : 1, -1);
    if (ready < 0) {
      if (errno == EINTR)
        continue;
      return 1;
    }
    if (watched[0].revents & POLLIN) {
      char drained[16];
      while (::read(g_signal_pipe[0], drained, sizeof drained) > 0) {
      }
      if (!ignore_term) {
        write_all(2, "KorvaneVeskCore stopping\n");
        return 0;
      }
    }
    if (control >= 0 && (watched[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      char chunk[4096];
      const ssize_t n = ::read(control, chunk, sizeof chunk);
      if (n <= 0) {
        if (n < 0 && errno == EINTR)
          continue;
        ::close(control);
        control = -1;
        continue;
      }
      pending.append(chunk, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        const std::size_t space = line.find(' ');
        const std::string verb = line.substr(0, space);
        const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        if (verb == "exit") {
          write_all(control, "ok\n");
          return std::atoi(rest.c_str());
        }
        if (verb == "ignore-term")
          ignore_term = true;
        if (verb == "say")
          write_all(2, rest + "\n");
        if (verb == "raw")
          write_all(2, from_hex(rest));
        if (verb == "close-stderr")
          ::close(2);
        if (verb == "startup-fds")
          write_all(control, startup_fds + "\n");
        write_all(control, "ok\n");
      }
    }
  }
}
