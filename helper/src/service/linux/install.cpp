#include "service/linux/install.hpp"

#include "common/executable_path.hpp"
#include "common/unique_fd.hpp"
#include "common/utf8.hpp"
#include "service/linux/executable_trust.hpp"
#include "service/linux/invoking_user.hpp"
#include "service/linux/systemctl.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace service::linux {

namespace {

Error unit_error(const char* action, int code) {
  return Error(std::string(action) + " " + UNIT_PATH, Error::from_os(code));
}

Result<void> write_to(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return unit_error("write", errno);
    }
    if (n == 0)
      return Error(std::string("write ") + UNIT_PATH, Error("failed to write whole buffer"));
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// The new unit is written whole to a file of its own beside the old one and
// then renamed over it, so a failed step never damages the unit in place.
// It is created 0644 rather than 0666 and narrowed before it is written: a
// root-run unit is never open to others for writing.
Result<void> write_unit(std::string_view text) {
  const std::string unit = UNIT_PATH;
  const auto slash = unit.rfind('/');
  const std::string directory = unit.substr(0, slash);
  const std::string staged =
      directory + "/." + unit.substr(slash + 1) + "." + std::to_string(::getpid());
  ::unlink(staged.c_str());  // left by an earlier run that was killed
  UniqueFd file(::open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!file)
    return unit_error("write", errno);
  const auto written = [&]() -> Result<void> {
    if (::fchmod(file.get(), 0644) != 0)
      return unit_error("secure", errno);
    if (auto whole = write_to(file.get(), text); !whole)
      return whole;
    if (::fsync(file.get()) != 0)
      return unit_error("write", errno);
    if (::close(file.release()) != 0)
      return unit_error("write", errno);
    if (::rename(staged.c_str(), UNIT_PATH) != 0)
      return unit_error("write", errno);
    return {};
  }();
  if (!written) {
    file.reset();
    ::unlink(staged.c_str());
    return written;
  }
  // The rename itself reaches the disk with the directory.
  if (UniqueFd parent(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); parent)
    ::fsync(parent.get());
  return {};
}

}  // namespace

std::string exec_start_value(std::string_view executable) {
  std::string quoted = "\"";
  for (const char c : decode_utf8_lossy(executable)) {
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '%':
        quoted += "%%";
        break;
      default:
        quoted += c;
    }
  }
  quoted += '"';
  return quoted;
}

std::string unit_text(std::string_view executable, const Owner& owner) {
  const std::string uid = std::to_string(owner.uid);
  const std::string gid = std::to_string(owner.gid);
  std::string text;
  text += "[Unit]\n";
  text +=
      "Description=Korvane Helper starts the Korvane Core with the privileges TUN mode needs.\n";
  text += "After=nftables.service iptables.service\n";
  text += "StartLimitIntervalSec=60\n";
  text += "StartLimitBurst=5\n";
  text += "\n";
  text += "[Service]\n";
  text += "Type=simple\n";
  text += "ExecStart=" + exec_start_value(executable) + "\n";
  text += "Group=" + gid + "\n";
  text += std::string("Environment=") + OWNER_UID_ENV + "=" + uid + "\n";
  text += std::string("Environment=") + OWNER_GID_ENV + "=" + gid + "\n";
  text += std::string("RuntimeDirectory=") + RUNTIME_DIRECTORY + "\n";
  text += "RuntimeDirectoryMode=0755\n";
  text += "Restart=on-failure\n";
  text += "RestartSec=5\n";
  text += "\n";
  text += "[Install]\n";
  text += "WantedBy=multi-user.target\n";
  return text;
}

std::optional<std::uint32_t> installed_owner_uid(std::string_view unit) {
  const std::string prefix = std::string("Environment=") + OWNER_UID_ENV + "=";
  std::size_t start = 0;
  while (start < unit.size()) {
    const std::size_t end = unit.find('\n', start);
    std::string_view line = unit.substr(start, end == std::string_view::npos ? end : end - start);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    if (line.substr(0, prefix.size()) == prefix) {
      const auto id = parse_unsigned_id(trim_unicode_whitespace(line.substr(prefix.size())));
      if (!id)
        return std::nullopt;
      return *id;
    }
    if (end == std::string_view::npos)
      break;
    start = end + 1;
  }
  return std::nullopt;
}

Result<void> ensure_unit_is_free_for(std::uint32_t uid) {
  UniqueFd file(::open(UNIT_PATH, O_RDONLY | O_CLOEXEC));
  if (!file) {
    if (errno == ENOENT)
      return {};
    return unit_error("read", errno);
  }
  std::string unit;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n > 0) {
      unit.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      return unit_error("read", errno);
    }
  }
  if (!is_valid_utf8(unit))
    return Error(std::string("read ") + UNIT_PATH, Error("stream did not contain valid UTF-8"));
  const auto installed = installed_owner_uid(unit);
  if (installed && *installed != uid) {
    return Error("the Helper is already installed for UID " + std::to_string(*installed) +
                 "; run `KorvaneVeskHelperService uninstall` as that user first");
  }
  return {};
}

Result<void> install_service() {
  auto executable = executable_path();
  if (!executable)
    return Error("resolve helper executable path", std::move(executable.error()));
  if (auto trusted = ensure_only_root_can_change(*executable); !trusted)
    return trusted;
  auto owner = invoking_owner();
  if (!owner)
    return owner.error();
  if (auto free = ensure_unit_is_free_for(owner->uid); !free)
    return free;
  if (auto written = write_unit(unit_text(*executable, *owner)); !written)
    return written;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"daemon-reload"}, std::vector<std::string>{"enable", UNIT_NAME},
        std::vector<std::string>{"restart", UNIT_NAME}}) {
    if (auto ran = run_systemctl(args); !ran)
      return ran;
  }
  return {};
}

}  // namespace service::linux
