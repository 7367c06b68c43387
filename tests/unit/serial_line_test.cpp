// Line settings, their Linux form, the reader's input rules and rendering:
// all without a port.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>

#include "serial/LineSettings.h"
#include "core/Cp1251.h"
#include "core/Hex.h"
#include "app/RxDisplay.h"
#include "serial/uCom.h"

using namespace kvl;

namespace {

// No test of this program may reach a real port.
const bool kNoRealPorts = (SetComPathResolver([](int) { return std::string(); }), true);

template <typename Change>
LinePlan PlanWith(Change change) {
  LineSettings c;
  change(c);
  return PlanLine(c);
}

std::string Filter(RxFilter& f, std::string s, bool dsrOn = true) {
  s.resize(f.Apply(reinterpret_cast<unsigned char*>(s.data()), s.size(), dsrOn));
  return s;
}

}  // namespace

TEST(PlanLine, DtrRtsByExactItemTextAndBaudAsDecimal) {
  struct Case {
    const char* dtr;
    const char* rts;
    const char* baud;
    bool accepted;
    LineAction dtrAction, rtsAction;
    std::uint32_t rate;
  };
  for (const Case& k : {Case{"DTR Disable", "RTS Toggle", "14400", true, LineAction::Drop, LineAction::Driver, 14400},
                        Case{"dtr enable", "RTS Disable", " 9600 ", true, LineAction::Drop, LineAction::Drop, 9600},
                        Case{"DTR Enable", "rts enable", "115200", true, LineAction::Raise, LineAction::Drop, 115200},
                        Case{"DTR Handshake", "RTS Enable", "115200", false, {}, {}, 0},
                        Case{"DTR Enable", "RTS Enable", "9600x", false, {}, {}, 0}}) {
    LineSettings c;
    c.dtrText = k.dtr;  // case counts: an item text not named is no action
    c.rtsText = k.rts;
    c.baudText = k.baud;
    const LinePlan plan = PlanLine(c);
    EXPECT_EQ(plan.accepted, k.accepted) << k.dtr << " " << k.rts << " " << k.baud;
    if (!k.accepted) continue;
    EXPECT_EQ(plan.dtr, k.dtrAction) << k.dtr;
    EXPECT_EQ(plan.rts, k.rtsAction) << k.rts;
    EXPECT_EQ(plan.baud, k.rate) << k.baud;
  }
}

TEST(PlanLine, FramingParityAndRates) {
  auto framing = [](int bits, int parity, int stop) {
    return PlanWith([&](LineSettings& c) {
      c.byteSize = bits;
      c.parityIndex = parity;
      c.stopBitsIndex = stop;
    }).cflag;
  };
  EXPECT_EQ(framing(7, kMarkParity, kTwoStopBits), tcflag_t(CS7 | PARENB | PARODD | CMSPAR | CSTOPB));
  EXPECT_EQ(framing(8, kSpaceParity, kOneStopBit), tcflag_t(CS8 | PARENB | CMSPAR));
  EXPECT_EQ(framing(6, kOddParity, kOneStopBit), tcflag_t(CS6 | PARENB | PARODD));
  EXPECT_EQ(framing(5, kEvenParity, kOne5StopBits), tcflag_t(CS5 | PARENB | CSTOPB));

  EXPECT_EQ(PlanWith([](LineSettings&) {}).speed, speed_t(B115200));
  for (const char* rate : {"14400", "28800", "56000", "128000", "256000"}) {
    const LinePlan plan = PlanWith([&](LineSettings& c) { c.baudText = rate; });
    EXPECT_TRUE(plan.accepted && plan.customBaud) << rate;
    EXPECT_EQ(plan.baud, std::stoul(rate));
  }
}

TEST(PlanLine, RefusesWhatLinuxOrTheStopBitRuleDoesNotAllow) {
  auto refused = [](auto change) { return !PlanWith(change).accepted; };
  EXPECT_TRUE(refused([](LineSettings& c) { c.byteSize = 5; c.stopBitsIndex = kTwoStopBits; }));
  EXPECT_TRUE(refused([](LineSettings& c) { c.stopBitsIndex = kOne5StopBits; }));
  EXPECT_TRUE(refused([](LineSettings& c) { c.byteSize = 9; }));
  EXPECT_TRUE(refused([](LineSettings& c) { c.dtrText = "DTR Handshake"; }));
  EXPECT_TRUE(refused([](LineSettings& c) { c.dsrFlow = true; }));
  // What the Windows driver refuses, or Linux cannot do as asked.
  EXPECT_TRUE(refused([](LineSettings& c) { c.xonChar = c.xoffChar = 0x11; }));
  EXPECT_TRUE(refused([](LineSettings& c) { c.rtsText = "RTS Handshake"; }));
  EXPECT_TRUE(refused([](LineSettings& c) { c.outX = true; c.xonChar = 0; }));
  EXPECT_TRUE(refused([](LineSettings& c) { c.inX = true; c.xoffChar = 0; }));
  EXPECT_FALSE(refused([](LineSettings& c) { c.xonChar = 0; }));  // unused without Out X / In X
  // Settings with no Linux meaning are accepted.
  EXPECT_FALSE(refused([](LineSettings& c) {
    c.txContinueOnXoff = c.abortOnError = true;
    c.xonLim = 500;
    c.eofChar = 26;
  }));
}

TEST(DriverCanDo, RatesAndSizesAnFtdiChipCannotDoAreRefused) {
  struct Case {
    const char* driver;
    const char* baud;
    int byteSize;
    bool can;
  };
  for (const Case& c : {Case{"ftdi_sio", "110", 8, false}, Case{"ftdi_sio", "300", 8, true},
                        Case{"ftdi_sio", "921600", 7, true}, Case{"ftdi_sio", "9600", 6, false},
                        Case{"ftdi_sio", "9600", 5, false}, Case{"serial8250", "110", 5, true},
                        Case{"", "110", 5, true}}) {
    LineSettings controls;
    controls.baudText = c.baud;
    controls.byteSize = c.byteSize;
    EXPECT_EQ(DriverCanDo(c.driver, controls), c.can) << c.driver << " " << c.baud << " " << c.byteSize;
  }
}

TEST(PlanLine, FlowControlLinesAndReaderRules) {
  LinePlan plan = PlanWith([](LineSettings& c) {
    c.ctsFlow = c.outX = c.inX = true;
    c.xonChar = 0x11;
    c.xoffChar = 0x13;
  });
  EXPECT_TRUE(plan.cflag & CRTSCTS);
  EXPECT_EQ(plan.iflag, tcflag_t(IXON | IXOFF));
  EXPECT_EQ(plan.startChar + plan.stopChar, 0x11 + 0x13);

  // Parity is checked only where Error Char asks for replacing; PARITY alone
  // delivers bytes as received.
  EXPECT_FALSE(PlanWith([](LineSettings& c) { c.errorChar = true; }).replaceMarked);
  EXPECT_EQ(PlanWith([](LineSettings& c) { c.parity = true; }).iflag, 0u);
  plan = PlanWith([](LineSettings& c) { c.errorChar = c.parity = true; });
  EXPECT_EQ(plan.iflag, tcflag_t(INPCK | PARMRK));
  EXPECT_TRUE(plan.replaceMarked);

  plan = PlanWith([](LineSettings& c) {
    c.rtsText = "RTS Handshake";
    c.ctsFlow = true;
    c.dtrText = "DTR Disable";
  });
  EXPECT_TRUE(plan.cflag & CRTSCTS);
  EXPECT_EQ(plan.rts, LineAction::Driver);
  EXPECT_EQ(plan.dtr, LineAction::Drop);
  plan = PlanWith([](LineSettings& c) { c.rtsText = "RTS Toggle"; });
  EXPECT_TRUE(plan.rs485Toggle && !(plan.cflag & CRTSCTS));
}

TEST(ApplyLinePlan, RawModeReplacesStaleBits) {
  termios t{};
  t.c_iflag = ICRNL | IXANY | IXON | PARMRK | IGNPAR;
  t.c_oflag = OPOST | ONLCR;
  t.c_lflag = ICANON | ECHO | ISIG;
  t.c_cflag = CS7 | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
  ApplyLinePlan(PlanWith([](LineSettings& c) { c.parityIndex = kEvenParity; }), t);
  EXPECT_EQ(t.c_cflag & (kPlannedCflags | CLOCAL | CREAD | HUPCL),
            tcflag_t(CS8 | PARENB | CLOCAL | CREAD | HUPCL));
  EXPECT_EQ(t.c_iflag, 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_cc[VMIN] * 256 + t.c_cc[VTIME], 256);
}

TEST(RxFilter, DropsNullsAndGatesOnDsr) {
  RxFilter f;
  f.Reset(PlanWith([](LineSettings& c) { c.nullDiscard = c.dsrSensitivity = true; }));
  EXPECT_EQ(Filter(f, std::string("a\0b\0", 4)), "ab");
  EXPECT_EQ(Filter(f, "xyz", false), "");
}

TEST(RxFilter, ReplacesMarkedBytesAcrossReads) {
  RxFilter f;
  f.Reset(PlanWith([](LineSettings& c) {
    c.parity = c.errorChar = true;
    c.errorCharValue = '#';
  }));
  // a, bad 'b', a real 0xFF, c, then a bad byte split over three reads.
  std::string out = Filter(f, std::string("a\xFF\0b\xFF\xFF" "c\xFF", 8));
  out += Filter(f, std::string("\0", 1));
  out += Filter(f, "d");
  EXPECT_EQ(out, "a#\xFF" "c#");
}

TEST(RxDisplay, TextLeavesOutLowControlBytesHexShowsAll) {
  const std::string_view received("O\0K\t\r\n\x0A\xFF", 8);
  std::string display = "[", hex = "0D";
  AppendRxDisplay(display, received);
  AppendHexDigits(hex, received);
  EXPECT_EQ(display, "[OK\r\n\n\xFF");
  EXPECT_EQ(hex, "0D4F004B090D0A0AFF");
  EXPECT_EQ(HexDigits("OK\r\n"), "4F4B0D0A");
}

TEST(RxTimeStamp, LocaleTextBecomesWindows1251) {
  // The stamp joins received text, which is Windows-1251: a locale's
  // non-ASCII time marker (here in UTF-8) must arrive in that code page.
  const char* previous = std::setlocale(LC_CTYPE, nullptr);
  const std::string saved = previous ? previous : "C";
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  std::tm t{};
  t.tm_hour = 21;
  t.tm_min = 5;
  t.tm_sec = 7;
  EXPECT_EQ(RxTimeStamp(t, "%H:%M:%S"), "[21:05:07] ");
  EXPECT_EQ(RxTimeStamp(t, "%I:%M:%S \xD0\xBF\xD0\xBF"), "[09:05:07 \xEF\xEF] ");  // "пп"
  EXPECT_EQ(RxTimeStamp(t, "%H\xE4\xB8\x80"), "[21?] ");  // no such letter in the code page
  EXPECT_EQ(LocaleToCp1251("\xD0"), "?");                 // cut short
  std::setlocale(LC_CTYPE, saved.c_str());
}

TEST(ComPaths, DefaultMappingAndThisProgramsOwn) {
  EXPECT_EQ(DefaultComPath(4) + DefaultComPath(5) + DefaultComPath(12) + DefaultComPath(13),
            "/dev/ttyS3/dev/ttyUSB0/dev/ttyUSB7/dev/ttyACM0");
  EXPECT_EQ(DefaultComPath(16) + DefaultComPath(0) + DefaultComPath(17), "/dev/ttyACM3");
  EXPECT_EQ(ComDevicePath(1), "");
  (void)kNoRealPorts;
}
