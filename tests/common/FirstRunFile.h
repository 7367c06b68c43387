// What a first run in an empty directory writes into "zel .ini": the four
// sections with every key and its default, in the order they are read.
// Shared by the plain tests of the settings table and the window tests.
#pragma once

#include <string>

namespace kvltest {

inline const std::string kTcpSocketSection =
    "[TCP socket]\r\n"
    "Source port:=10000\r\n"
    "Remote IP:=192.168.1.10\r\n"
    "Remote port:=7777\r\n";

inline const std::string kOneClickSection =
    "[One click command]\r\n"
    "APN SIM1:=www.kyivstar.net\r\n"
    "APN SIM1 Login:=\r\n"
    "APN SIM1 Password:=\r\n"
    "APN SIM2:=telematika\r\n"
    "APN SIM2 Login:=\r\n"
    "APN SIM2 Password:=\r\n"
    "Out port 1 baudrate:=9600\r\n"
    "Out port 2 baudrate:=9600\r\n"
    "Modem socket port1:=7777\r\n"
    "Modem socket port2:=7778\r\n"
    "AC report IP:=192.168.1.1\r\n"
    "AC report port:=8080\r\n";

inline const std::string kCommandLineSection =
    "[\xD1ommand line]\r\n"  // a Cyrillic capital Es
    "command line1:=config level\r\n"
    "command line2:=MyV=7\r\n"
    "command line3:=KvlFact\r\n"
    "command line4:=SVDWL=203.0.113.25 restart\r\n"
    "command line5:=ADWL0\r\n";

inline const std::string kSimSetSection =
    "[Sim set]\r\n"
    "Phone 1:=+380672100001\r\n"
    "Phone 2:=+380502100002\r\n"
    "Phone 3:=+380632100003\r\n"
    "Phone 4:=+380932100004\r\n";

// The whole file of a first run; a new section follows the last line of
// the one before, with no blank line.
inline const std::string kFirstRunFile =
    kTcpSocketSection + kOneClickSection + kCommandLineSection + kSimSetSection;

}  // namespace kvltest
