// Plain helpers of the TCP link: addresses and the port fields.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvl {

// A 32-bit IPv4 address in network byte order as dotted decimal, the first
// byte in memory first.
std::string IpToText(std::uint32_t addressNetworkOrder);

// The IPv4 addresses of the host's interfaces that are up, loopback
// included, in the order the system lists them.
std::vector<std::string> LocalIPv4Addresses();

// An IPv4 address text in network byte order, read by the classic rules:
// one to four parts ("127.1" is 127.0.0.1, "10.1.2" is 10.1.0.2, a single
// number is the whole address), each decimal, octal (leading 0) or hex
// (leading 0x). INADDR_NONE (all bits set) when the text is not such an
// address, and for "255.255.255.255" itself. Host names are not looked up.
std::uint32_t InetAddr(std::string_view text);

// Reading of a port field.
enum class PortField { Ok, NotInteger, OutOfRange };
struct PortFieldValue {
  PortField state = PortField::NotInteger;
  std::int32_t number = 0;  // the integer read (also when out of range)
};
PortFieldValue ReadPortField(std::string_view text);

// What the engineer can do about a failed connect, as a line for the pane;
// empty when there is nothing to add to the system's text. EADDRNOTAVAIL:
// Linux refuses the same source address and port towards the same device
// while our last connection between them is in TIME_WAIT (SO_REUSEADDR only
// lets the port be bound), which lasts up to a minute when the device sends
// no TCP timestamps.
std::string ConnectFailureNote(int error, std::uint16_t sourcePort);

// The system's text for an error number.
std::string SockErrorText(int error = errno);

}  // namespace kvl
