#include "net/NetLink.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

#include "core/Convert.h"
#include "net/NetOs.h"

namespace kvl {

std::string IpToText(std::uint32_t address) {
  unsigned char b[4];
  std::memcpy(b, &address, 4);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
         std::to_string(b[3]);
}

std::vector<std::string> LocalIPv4Addresses() {
  std::vector<std::string> out;
  ifaddrs* list = nullptr;
  if (SockOs.getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
    sockaddr_in sin;
    std::memcpy(&sin, i->ifa_addr, sizeof sin);
    out.push_back(IpToText(sin.sin_addr.s_addr));
  }
  SockOs.freeifaddrs(list);
  return out;
}

std::uint32_t InetAddr(std::string_view text) {
  // A zero byte would end the text early for the system's parser.
  if (text.find('\0') != std::string_view::npos) return INADDR_NONE;
  const std::string s(text);
  in_addr a{};
  if (inet_aton(s.c_str(), &a) == 0) return INADDR_NONE;
  return a.s_addr;
}

PortFieldValue ReadPortField(std::string_view text) {
  PortFieldValue v;
  std::int32_t n = 0;
  if (!StrToInt32(text, n)) return v;
  v.number = n;
  v.state = n >= 1 && n <= 65535 ? PortField::Ok : PortField::OutOfRange;
  return v;
}

std::string ConnectFailureNote(int error, std::uint16_t sourcePort) {
  if (error != EADDRNOTAVAIL) return {};
  return " Source port " + std::to_string(sourcePort) +
         " is still held by the last connection from it (for up to a minute);"
         " another source port works at once: tick Connect again\r\n";
}

std::string SockErrorText(int error) {
  char buf[256];
  // The GNU strerror_r returns the text, which need not be in buf.
  const char* text = strerror_r(error, buf, sizeof buf);
  return std::string(text) + "\r\n";
}

}  // namespace kvl
