#include "link/port_spec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrelgate::link {
namespace {

using console::IoResult;

PortSpec parsed(std::string_view text) {
  PortSpec spec;
  EXPECT_EQ(parsePortSpec(text, spec), IoResult::Ok) << text;
  return spec;
}

TEST(PortSpecName, AcceptsNamesAndYieldsTheirNumbers) {
  struct Case {
    std::string_view text;
    std::optional<std::uint32_t> port;
  };
  const Case cases[] = {
      {"COM1:", 1},
      {"COM2:", 2},
      {"com12:", 12},
      {"COM02:", 2},
      {"COM:", 0},
      {"COM0:", 0},
      {"LPT1:", 0},
      {"SER:", 1},
      {"ser:600", 1},
      {"AB:C", 0},
      {"XYZW", std::nullopt},
      {"COM1", std::nullopt},
      {"COM2600,N,8,1", std::nullopt},
      {"COM", std::nullopt},
      {"A:", std::nullopt},  // three or fewer characters
      {"", std::nullopt},
      {"COMX:", std::nullopt},
      {"COM1X:", std::nullopt},
      // Digits beyond 32 bits wrap modulo 2^32: 4294967297 is 1.
      {"COM4294967297:", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(testPortName(c.text), c.port) << c.text;
  }
}

TEST(PortSpecParse, FixedSettingsGiveTheDocumentedRecord) {
  PortSpec expected;
  expected.portNumber = 1;
  expected.speed = 600;
  expected.parity = ParityKind::None;
  expected.dataBits = 8;
  expected.stopBits = StopBitsKind::One;
  expected.ctsTimeout = 0;
  expected.dsrTimeout = 0;
  expected.cdTimeout = 0;
  EXPECT_EQ(parsed("COM1:" + std::string(kPortSettings)), expected);

  expected.portNumber = 7;
  EXPECT_EQ(parsed("COM7:" + std::string(kPortSettings)), expected);
}

TEST(PortSpecParse, NameAloneGivesTheDefaults) {
  const PortSpec spec = parsed("COM1:");
  EXPECT_EQ(spec.speed, 300u);
  EXPECT_EQ(spec.parity, ParityKind::Even);
  EXPECT_EQ(spec.dataBits, 7u);
  EXPECT_EQ(spec.stopBits, StopBitsKind::One);
  EXPECT_EQ(spec.ctsTimeout, 1000u);
  EXPECT_EQ(spec.dsrTimeout, 1000u);
  EXPECT_EQ(spec.cdTimeout, 0u);
  EXPECT_EQ(spec.openTimeout, 0u);
  EXPECT_FALSE(spec.suppressRts || spec.addLf || spec.checkParity || spec.dtrEnable ||
               spec.discardOnError || spec.ignoreAllErrors);
  EXPECT_EQ(spec.irq, 0u);
  EXPECT_EQ(spec.txBufferSize, 0u);
  EXPECT_EQ(spec.rxBufferSize, 0u);
}

TEST(PortSpecParse, StopBitsRuleUsesFinalSpeedAndDataBits) {
  EXPECT_EQ(parsed("COM1:110").stopBits, StopBitsKind::Two);
  EXPECT_EQ(parsed("COM1:110,N,5").stopBits, StopBitsKind::OneAndHalf);
  EXPECT_EQ(parsed("COM1:111").stopBits, StopBitsKind::One);
  EXPECT_EQ(parsed("COM1:75,N,8").stopBits, StopBitsKind::Two);
  // An empty stop-bits field gives none, so the rule still applies.
  EXPECT_EQ(parsed("COM1:110,N,8,").stopBits, StopBitsKind::Two);
  // A given field wins over the rule.
  EXPECT_EQ(parsed("COM1:110,N,5,1").stopBits, StopBitsKind::One);
  // "-1" is 4294967295, far above 110.
  EXPECT_EQ(parsed("COM1:-1").stopBits, StopBitsKind::One);
}

TEST(PortSpecParse, StopBitsFieldReadsRealNumbers) {
  struct Case {
    std::string_view field;
    std::optional<StopBitsKind> kind;
  };
  const Case cases[] = {
      {"1", StopBitsKind::One},
      {"1.0", StopBitsKind::One},
      {"1.", StopBitsKind::One},
      {"01", StopBitsKind::One},
      {"+1", StopBitsKind::One},
      {"0.1e1", StopBitsKind::One},
      {"1.5", StopBitsKind::OneAndHalf},
      {"15e-1", StopBitsKind::OneAndHalf},
      {"1.50", StopBitsKind::OneAndHalf},
      {".15E1", StopBitsKind::OneAndHalf},
      {"2", StopBitsKind::Two},
      {"2.0", StopBitsKind::Two},
      {"2E0", StopBitsKind::Two},
      {"0.2e+1", StopBitsKind::Two},
      {"3", std::nullopt},
      {"0", std::nullopt},
      {"-1", std::nullopt},
      {"1.25", std::nullopt},
      {"1.5000001", std::nullopt},
      {"1,5", std::nullopt},  // a comma ends the field: "5" is a keyword
      {"1e", std::nullopt},
      {"e1", std::nullopt},
      {".", std::nullopt},
      {"1x", std::nullopt},
      {"0x1", std::nullopt},
      {"inf", std::nullopt},
      {"1 .5", std::nullopt},
      {"1e99999999999999999999", std::nullopt},
  };
  for (const Case& c : cases) {
    PortSpec spec;
    const std::string text = "COM1:600,N,8," + std::string(c.field);
    const IoResult result = parsePortSpec(text, spec);
    if (c.kind) {
      EXPECT_EQ(result, IoResult::Ok) << text;
      EXPECT_EQ(spec.stopBits, *c.kind) << text;
    } else {
      EXPECT_EQ(result, IoResult::IllegalRequest) << text;
    }
  }
}

TEST(PortSpecParse, BlanksEmptyFieldsAndCase) {
  PortSpec plain = parsed("COM1:600,N,8,1");
  EXPECT_EQ(parsed("COM1: 600 , n ,8, 1"), plain);
  EXPECT_EQ(parsed("COM1:\t600\t,\tN ,8 ,1\t"), plain);
  EXPECT_EQ(parsed("COM1:600,N,8,1,"), plain);

  const PortSpec gap = parsed("COM1:600,,8");
  EXPECT_EQ(gap.parity, ParityKind::Even);
  EXPECT_EQ(gap.speed, 600u);
  EXPECT_EQ(gap.dataBits, 8u);
  // A blanks-only field counts toward the numbering too.
  EXPECT_EQ(parsed("COM1: , ,8").dataBits, 8u);
  EXPECT_EQ(parsed("COM1:600,N,8,1,,,cs5").ctsTimeout, 5u);

  // Blanks inside a field stay and make it unreadable.
  PortSpec spec;
  EXPECT_EQ(parsePortSpec("COM1:6 00", spec), IoResult::IllegalRequest);
  // Other white space is not a blank.
  EXPECT_EQ(parsePortSpec("COM1:600\n", spec), IoResult::IllegalRequest);
}

TEST(PortSpecParse, Parity) {
  struct Case {
    std::string_view field;
    ParityKind parity;
    bool check;
  };
  const Case cases[] = {
      {"N", ParityKind::None, false}, {"e", ParityKind::Even, false},
      {"O", ParityKind::Odd, false},  {"s", ParityKind::Space, false},
      {"M", ParityKind::Mark, false}, {"PE", ParityKind::Even, true},
      {"pe", ParityKind::Even, true},
  };
  for (const Case& c : cases) {
    const PortSpec spec = parsed("COM1:600," + std::string(c.field));
    EXPECT_EQ(spec.parity, c.parity) << c.field;
    EXPECT_EQ(spec.checkParity, c.check) << c.field;
  }
  for (std::string_view bad : {"X", "NO", "P", "EE", "0"}) {
    PortSpec spec;
    EXPECT_EQ(parsePortSpec("COM1:600," + std::string(bad), spec), IoResult::IllegalRequest) << bad;
  }
}

TEST(PortSpecParse, Numbers) {
  EXPECT_EQ(parsed("COM1:+600").speed, 600u);
  EXPECT_EQ(parsed("COM1:-1").speed, 4294967295u);
  EXPECT_EQ(parsed("COM1:-600").speed, 4294966696u);
  EXPECT_EQ(parsed("COM1:600,N,-0").dataBits, 0u);
  // Wider than 32 bits wraps modulo 2^32.
  EXPECT_EQ(parsed("COM1:4294967296").speed, 0u);
  EXPECT_EQ(parsed("COM1:4294967896").speed, 600u);
  EXPECT_EQ(parsed("COM1:600,N,8,1,CS-1").ctsTimeout, 4294967295u);
  EXPECT_EQ(parsed("COM1:600,N,8,1,RB 512").rxBufferSize, 512u);

  for (std::string_view bad : {"COM1:600x", "COM1:+", "COM1:-", "COM1:+-6", "COM1:6+",
                               "COM1:600,N,8,1,CS1s", "COM1:600,N,8,1,CS+", "COM1:600,N,x8"}) {
    PortSpec spec;
    EXPECT_EQ(parsePortSpec(bad, spec), IoResult::IllegalRequest) << bad;
  }
}

TEST(PortSpecParse, Keywords) {
  const PortSpec numbers = parsed("COM1:600,N,8,1,cs250,DS,CD7,OP9,TB100,RB200,IR0");
  EXPECT_EQ(numbers.ctsTimeout, 250u);
  EXPECT_EQ(numbers.dsrTimeout, 0u);
  EXPECT_EQ(numbers.cdTimeout, 7u);
  EXPECT_EQ(numbers.openTimeout, 9u);
  EXPECT_EQ(numbers.txBufferSize, 100u);
  EXPECT_EQ(numbers.rxBufferSize, 200u);
  EXPECT_EQ(parsed("COM1:600,N,8,1,IR5").irq, 5u);

  const PortSpec flags = parsed("COM1:600,N,8,1,RS,PE,DT,FE,ME,LF");
  EXPECT_TRUE(flags.suppressRts);
  EXPECT_TRUE(flags.checkParity);
  EXPECT_TRUE(flags.dtrEnable);
  EXPECT_TRUE(flags.discardOnError);
  EXPECT_TRUE(flags.ignoreAllErrors);
  EXPECT_TRUE(flags.addLf);
  EXPECT_EQ(flags.parity, ParityKind::None);

  // The last one wins.
  EXPECT_FALSE(parsed("COM1:600,N,8,1,LF,BIN").addLf);
  EXPECT_TRUE(parsed("COM1:600,N,8,1,BIN,ASC").addLf);
  EXPECT_EQ(parsed("COM1:600,N,8,1,CS1,CS2").ctsTimeout, 2u);
  EXPECT_EQ(parsed("COM1:600,N,8,1, cs 3 ").ctsTimeout, 3u);
}

TEST(PortSpecParse, RejectedFieldsLeaveTheRecordAlone) {
  const std::string_view rejected[] = {
      "COM1:600,N,8,1,600",  // a number is not a keyword
      "COM1:CS0",            // a keyword cannot stand among the positional fields
      "COM1:600,X",
      "COM1:600,N,8,3",
      "COM1:600,N,8,1,CSX",  // a number keyword is not tried as anything else
      "COM1:600,N,8,1,RBS",
      "COM1:600,N,8,1,RSX",  // whole-field keywords must be the whole field
      "COM1:600,N,8,1,BINARY",
      "COM1:600,N,8,1,XY",
      "COM1:600,N,8,1,R S",
      "COM2600,N,8,1",
      "COM1",
      "600,N,8,1",
  };
  for (std::string_view text : rejected) {
    PortSpec spec;
    spec.speed = 12345;
    spec.portNumber = 99;
    const PortSpec before = spec;
    EXPECT_EQ(parsePortSpec(text, spec), IoResult::IllegalRequest) << text;
    EXPECT_EQ(spec, before) << text;
  }
}

TEST(PortSpecParse, PortNumbersFromTheName) {
  EXPECT_EQ(parsed("SER:600").portNumber, 1u);
  EXPECT_EQ(parsed("SER:600").speed, 600u);
  EXPECT_EQ(parsed("COM12:600").portNumber, 12u);
  EXPECT_EQ(parsed("COM:600").portNumber, 0u);
  EXPECT_EQ(parsed("LPT1:600").portNumber, 0u);
  // The list starts after the first colon, wherever the name put it.
  EXPECT_EQ(parsed("LPT1:600").speed, 600u);
  EXPECT_EQ(parsed("A/B:1200").speed, 1200u);
}

}  // namespace
}  // namespace kestrelgate::link
