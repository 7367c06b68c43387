#include "app/PortHint.h"

#include <algorithm>
#include <cstring>

namespace kvl {

namespace {

// Whether a value can stand between double quotes in a udev rule.
bool RuleSafe(const std::string& value) {
  return !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
           c == '_' || c == '.';
  });
}

std::string ModemManagerAdvice(const PortAdapter& adapter) {
  return "to keep ModemManager off this device, put the line " + ModemManagerRule(adapter) +
         " into /etc/udev/rules.d/99-kvl-modem.rules, run sudo udevadm control --reload"
         " and plug the device in again";
}

// The device node's mode as ls shows it: "crw-rw----".
std::string ModeText(unsigned mode) {
  std::string text = "crwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit)
    if (!(mode & (0400u >> bit))) text[size_t(bit + 1)] = '-';
  return text;
}

// Joining a group helps only when that group may read and write the device
// and is not root; otherwise the hint says who may open it.
std::string NoPermissionText(const PortProblem& problem) {
  const std::string group = problem.group.empty() ? std::string("dialout") : problem.group;
  const bool groupMay = (problem.mode & 0060) == 0060;
  if (!problem.modeKnown || (groupMay && !problem.groupIsRoot))
    return "no permission: add your user to the group " + group + " (sudo adduser $USER " + group +
           ") and log in again";
  std::string who;
  if ((problem.mode & 0600) == 0600) who = "the user " + problem.owner;
  if (groupMay) who += (who.empty() ? "" : " and ") + std::string("the group ") + group;
  who = who.empty() ? "nobody may open it" : "only " + who + " may open it";
  return "no permission: " + who + " (" + ModeText(problem.mode) + " " + problem.owner + ":" + group + ")";
}

}  // namespace

std::string ModemManagerRule(const PortAdapter& adapter) {
  std::string rule = "ACTION==\"add|change\", ";
  if (adapter.usb && RuleSafe(adapter.vendorId) && RuleSafe(adapter.productId)) {
    rule += "ATTRS{idVendor}==\"" + adapter.vendorId + "\", ATTRS{idProduct}==\"" + adapter.productId + "\", ";
    if (RuleSafe(adapter.serial)) rule += "ATTRS{serial}==\"" + adapter.serial + "\", ";
  } else {
    rule += "KERNEL==\"" + (RuleSafe(adapter.name) ? adapter.name : std::string("ttyS0")) + "\", ";
  }
  return rule + "ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
}

std::string PortProblemText(const PortProblem& problem, const PortAdapter& adapter) {
  switch (problem.fault) {
    case PortFault::None:
      return {};
    case PortFault::NoDevice:
      return "no device";
    case PortFault::InUse: {
      const PortHolder& holder = problem.holder;
      if (holder.program == "ModemManager")
        return "ModemManager is using it\n" + ModemManagerAdvice(adapter);
      if (holder.pid > 0)
        return "in use by " + (holder.program.empty() ? std::string("another program") : holder.program) +
               " (pid " + std::to_string(holder.pid) + ")";
      if (!holder.lockFile.empty()) return "in use by another program (lock file " + holder.lockFile + ")";
      if (problem.modemManagerRunning)
        return "in use by another program, probably ModemManager\n" + ModemManagerAdvice(adapter);
      return "in use by another program";
    }
    case PortFault::NoPermission:
      return NoPermissionText(problem);
    case PortFault::Refused:
      return "the port does not take these line settings";
    case PortFault::System:
      return std::strerror(problem.error);
  }
  return {};
}

std::string PortAdapterText(const PortAdapter& adapter) {
  if (!adapter.usb) return {};
  std::string name = adapter.manufacturer;
  if (!adapter.product.empty()) {
    // Many adapters repeat the maker in the product name.
    if (name.empty() || adapter.product.compare(0, name.size(), name) == 0)
      name = adapter.product;
    else
      name += " " + adapter.product;
  }
  std::string text = name;
  auto add = [&text](const std::string& part) {
    if (part.empty()) return;
    if (!text.empty()) text += ", ";
    text += part;
  };
  if (!adapter.serial.empty()) add("serial " + adapter.serial);
  if (!adapter.vendorId.empty() || !adapter.productId.empty()) add(adapter.vendorId + ":" + adapter.productId);
  return text;
}

}  // namespace kvl
