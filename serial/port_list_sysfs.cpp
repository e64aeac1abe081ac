#include "serial/port_list_sysfs.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>

#include "platform/text_file.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

// The serial core's type of a port slot where no UART answered (PORT_UNKNOWN).
constexpr std::string_view kNoUartType = "0";
constexpr std::string_view kSerialPortText = "Serial port";
constexpr std::string_view kUsbSerialPortText = "USB serial port";
constexpr std::string_view kWhitespace = " \t\r\n";

// The first line of a sysfs attribute without surrounding blanks; empty when unreadable.
std::string readAttribute(const fs::path& file) {
  const std::string text = readSystemFile(file.string()).value_or(std::string());
  const std::string line = text.substr(0, text.find('\n'));
  std::size_t first = line.find_first_not_of(kWhitespace);
  if (first == std::string::npos) return {};
  return line.substr(first, line.find_last_not_of(kWhitespace) - first + 1);
}

bool present(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

std::optional<fs::path> resolve(const fs::path& path) {
  std::error_code error;
  fs::path resolved = fs::canonical(path, error);
  if (error) return std::nullopt;
  return resolved;
}

bool isBelow(const fs::path& path, const fs::path& root) {
  fs::path relative = path.lexically_relative(root);
  return !relative.empty() && relative != "." && *relative.begin() != "..";
}

std::optional<std::uint16_t> hexAttribute(const fs::path& file) {
  std::string text = readAttribute(file);
  std::uint16_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// The USB device among `device` and its parents (it has idVendor), up to the sysfs root:
// the tty of a USB serial converter hangs below an interface of it, a CDC ACM tty is the
// interface itself.
std::optional<fs::path> usbDeviceOf(fs::path device, const fs::path& sysRoot) {
  for (; isBelow(device, sysRoot); device = device.parent_path()) {
    if (present(device / "idVendor") && present(device / "idProduct")) return device;
  }
  return std::nullopt;
}

void describeUsb(const fs::path& usbDevice, SerialPortInfo& port) {
  port.usbVendorId = hexAttribute(usbDevice / "idVendor");
  port.usbProductId = hexAttribute(usbDevice / "idProduct");
  port.usbSerial = readAttribute(usbDevice / "serial");
  port.description = readAttribute(usbDevice / "product");
  if (port.description.empty()) port.description = readAttribute(usbDevice / "manufacturer");
  if (port.description.empty()) port.description = kUsbSerialPortText;
}

// Device node -> the link in `linkDir` that leads to it (the first by name when several do,
// so that the answer does not depend on the directory's order).
std::map<fs::path, fs::path> linksByTarget(const fs::path& linkDir) {
  std::map<fs::path, fs::path> links;
  std::error_code error;
  for (fs::directory_iterator entry(linkDir, error), end; !error && entry != end;
       entry.increment(error)) {
    auto target = resolve(entry->path());
    if (!target) continue;
    auto [known, added] = links.try_emplace(*target, entry->path());
    if (!added && entry->path() < known->second) known->second = entry->path();
  }
  return links;
}

// "4:64" -> the device number; none for anything else.
std::optional<dev_t> deviceNumber(const std::string& text) {
  unsigned major = 0;
  unsigned minor = 0;
  const char* end = text.data() + text.size();
  auto [colon, error] = std::from_chars(text.data(), end, major);
  if (error != std::errc() || colon == end || *colon != ':') return std::nullopt;
  auto [last, minorError] = std::from_chars(colon + 1, end, minor);
  if (minorError != std::errc() || last != end) return std::nullopt;
  return makedev(major, minor);
}

// The devices the kernel writes its console to, from /proc/consoles: one line per console,
// "ttyS0  -W- (EC p a)  4:64", its name first and its device number last. Where the number
// is missing, the name's node in /dev stands for it. Nodes are compared as files, so that
// every name of a console device is known as one.
class ConsoleDevices {
 public:
  ConsoleDevices(const fs::path& consoles, const fs::path& devRoot) {
    std::istringstream in(readSystemFile(consoles.string()).value_or(std::string()));
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      std::string name;
      std::string field;
      std::string last;
      if (!(fields >> name)) continue;
      while (fields >> field) last = field;
      if (auto number = deviceNumber(last)) {
        numbers_.push_back(*number);
      } else {
        addNode(devRoot / name);
      }
    }
  }

  bool contains(const fs::path& node) const {
    struct stat info {};
    if (::stat(node.c_str(), &info) != 0) return false;
    const auto same = [&](const std::pair<dev_t, ino_t>& file) {
      return file.first == info.st_dev && file.second == info.st_ino;
    };
    return (S_ISCHR(info.st_mode) &&
            std::find(numbers_.begin(), numbers_.end(), info.st_rdev) != numbers_.end()) ||
           std::any_of(files_.begin(), files_.end(), same);
  }

 private:
  // A character device by its number, anything else (a fake tree's node) as a file.
  void addNode(const fs::path& node) {
    struct stat info {};
    if (::stat(node.c_str(), &info) != 0) return;
    if (S_ISCHR(info.st_mode)) {
      numbers_.push_back(info.st_rdev);
    } else {
      files_.emplace_back(info.st_dev, info.st_ino);
    }
  }

  std::vector<dev_t> numbers_;
  std::vector<std::pair<dev_t, ino_t>> files_;
};

class SysfsScan {
 public:
  SysfsScan(const fs::path& sysRoot, const fs::path& devRoot, const fs::path& consoles)
      : sysRoot_(resolve(sysRoot).value_or(sysRoot)),
        devRoot_(devRoot),
        byId_(linksByTarget(devRoot / "serial" / "by-id")),
        byPath_(linksByTarget(devRoot / "serial" / "by-path")),
        consoles_(consoles, devRoot) {}

  std::optional<SerialPortInfo> port(const fs::path& ttyEntry) const {
    const std::string name = ttyEntry.filename().string();
    auto device = resolve(ttyEntry / "device");
    fs::path node = devRoot_ / name;
    if (!device || !present(node)) return std::nullopt;
    if (readAttribute(ttyEntry / "type") == kNoUartType) return std::nullopt;
    SerialPortInfo port;
    port.name = node.string();
    port.description = kSerialPortText;
    if (auto usbDevice = usbDeviceOf(*device, sysRoot_)) describeUsb(*usbDevice, port);
    port.stableId = stableIdOf(node);
    port.isConsole = consoles_.contains(node);
    return port;
  }

 private:
  std::string stableIdOf(const fs::path& node) const {
    auto target = resolve(node);
    if (!target) return {};
    for (const auto* links : {&byId_, &byPath_}) {
      if (auto link = links->find(*target); link != links->end()) return link->second.string();
    }
    return {};
  }

  fs::path sysRoot_;
  fs::path devRoot_;
  std::map<fs::path, fs::path> byId_;
  std::map<fs::path, fs::path> byPath_;
  ConsoleDevices consoles_;
};

}  // namespace

std::vector<SerialPortInfo> listSysfsSerialPorts(const fs::path& sysRoot, const fs::path& devRoot,
                                                 const fs::path& consoles) {
  SysfsScan scan(sysRoot, devRoot, consoles);
  std::vector<SerialPortInfo> ports;
  std::error_code error;
  for (fs::directory_iterator entry(sysRoot / "class" / "tty", error), end; !error && entry != end;
       entry.increment(error)) {
    if (auto port = scan.port(entry->path())) ports.push_back(std::move(*port));
  }
  sortByName(ports);
  return ports;
}

}  // namespace quorvel
