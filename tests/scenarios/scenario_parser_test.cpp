// The scenario language's reader: a bad line is refused with its line and the field at
// fault before anything runs; good lines become steps with every value resolved.
#include <gtest/gtest.h>

#include "scenario.h"

#include "agent/status_names.h"

#include <qvr_ioctl.h>

namespace {

using qvr::sim::ParseError;
using qvr::sim::ParseScenario;
using qvr::sim::StepKind;

TEST(ScenarioParserTest, BadLinesNameTheirLineAndField)
{
    using namespace std::string_literals;
    const struct {
        std::string text;
        int line;
        const char *field;
        const char *message;
    } cases[] = {
        {"quic on\n\nrules sometimes a.exe\n", 3, "mode", "intercept or exempt"},
        {"frobnicate\n", 1, "frobnicate", "unknown directive"},
        {"\"quic\" on\n", 1, "quic", "unknown directive"},
        {"raw rules 123\n", 1, "bytes", "odd number of hex digits"},
        {"raw rules 0x1200\n", 1, "bytes", "without 0x"},
        {"raw rules 12g0\n", 1, "bytes", "not hex digits"},
        {"raw 22A00C\n", 1, "code", "0x and a control code"},
        {"raw 0x1234567890\n", 1, "code", "larger than"},
        {"raw rules out=65537\n", 1, "out", "larger than"},
        {"raw rules wait=5\n", 1, "wait", "not a duration"},
        {"raw rules wait=5m\n", 1, "wait", "the unit is ms or s"},
        {"raw rules wait=61s\n", 1, "wait", "longer than 60 s"},
        {"raw rules as=root\n", 1, "as", "system, admin, user"},
        {"raw rules access=all\n", 1, "access", "read, write"},
        {"quic on expect=\n", 1, "expect", "is not a status name"},
        {"quic on expect=0xC000000D1\n", 1, "expect", "is not a status name"},
        {"quic on expect STATUS_SUCCESS\n", 1, "quic", "usage: quic"},
        {"quic on colour=red\n", 1, "colour", "not an option of quic"},
        {"quic on label=a label=b\n", 1, "label", "given twice"},
        {"quic on label=\n", 1, "label", "empty label"},
        {"quic 4294967296\n", 1, "value", "larger than"},
        {"carriers -1\n", 1, "count", "not a decimal number"},
        {"carriers 65\n", 1, "count", "larger than 64"},
        {"start a\n", 1, "start", "usage: start"},
        {"start a/b x.exe\n", 1, "process", "not a name"},
        {"start a x.exe\nstart a y.exe\n", 2, "process", "running already"},
        {"start a x.exe\nend a\nend a\n", 3, "process", "(it has ended)"},
        {"start a \"\\Device\\x.exe\n", 1, "\"", "no closing quote"},
        {"start a \xff.exe\n", 1, "image-path", "not UTF-8"},
        {"start a x.exe\nconnect a 203.0.113.7\n", 2, "destination", "not an address and port"},
        {"start a x.exe\nconnect a 203.0.113.7:443 from=::1\n", 2, "from", "not an address and port"},
        {"start a x.exe\nconnect a 203.0.113.7:443 expect=STATUS_SUCCESS\n", 2, "expect", "redirected, direct"},
        {"start a x.exe\nconnect a 203.0.113.7:443 as=c\nconnect a 203.0.113.7:443 as=c\n", 3, "as", "open connection already"},
        {"close c1\n", 1, "connection", "not an open connection"},
        {"settle c1\n", 1, "connection", "not an open connection"},
        {"settle wait=1\n", 1, "wait", "not a duration"},
        {"filter proxy\n", 1, "target", "no proxy runs here"},
        {"filter\n", 1, "target", "give one of"},
        {"filter blob=abc\n", 1, "blob", "odd number"},
        {"proxy 0\n", 1, "port", "other than 0"},
        {"proxy 8080\nproxy 8081\n", 2, "proxy", "running already"},
        {"proxy 8080\nfilter proxy hold=maybe\n", 2, "hold", "yes or no"},
        {"verdict maybe\n", 1, "verdict", "permit, block or silent"},
        {"verdict permit 198.51.100.9:0\n", 1, "verdict", "takes no destinations"},
        {"verdict block 198.51.100.9\n", 1, "destination", "not an address and port"},
        {"verdict block delay=5\n", 1, "delay", "not a duration"},
        {"unload connections=maybe\n", 1, "connections", "close or open"},
        {"start a x.exe\nconnect a 203.0.113.7:443 records=abc\n", 2, "records", "odd number"},
        {"proxy 8080\nstart a x.exe\nconnect a 203.0.113.7:443 as=c\nonward c by=b\n", 4, "process", "not a running process"},
        {"port-answer\n", 1, "answer", "give one of"},
        {"port-answer 70000\n", 1, "port", "larger than 65535"},
        {"port-answer 8080 result=1\n", 1, "answer", "give one of"},
        {"addresses ::1 10.0.0.1\n", 1, "ipv4", "not an IPv4 address"},
        {"bfe pause\n", 1, "state", "stop, start"},
        {"advance 1s\n", 1, "advance", "clock manual first"},
        {"clock manual\nclock real\nadvance 1s\n", 3, "advance", "clock manual first"},
        {"load\n", 1, "load", "loaded already"},
        {"unload\nunload\n", 2, "unload", "not loaded here"},
        {"proxy 8080\nunload\nload\nfilter proxy\n", 4, "target", "no proxy runs here"},
        {"quic on\n\0\n"s, 2, "", "not text"},
        {"processes now\n", 1, "processes", "usage: processes"},
        {"trace quic\n", 1, "settings", "FLAGS[,LEVEL]"},
        {"trace 0x2,6\n", 1, "settings", "FLAGS[,LEVEL]"},
        {"held now\n", 1, "held", "usage: held"},
        {"unload\nheld\n", 2, "held", "not loaded here"},
        {"proxy 8080\nheld\n", 2, "held", "the scenario's proxy runs"},
        {"start b x.exe\nconnect b 203.0.113.7:443 as=c\nheld\n", 3, "held", "'c' is open"},
        {"clock manual\nheld\n", 2, "held", "clock real first"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        ParseError error;
        EXPECT_FALSE(ParseScenario(c.text, "bad.qvrsim", &error).has_value());
        EXPECT_EQ(error.line, c.line) << error.ToString();
        EXPECT_EQ(error.field, c.field) << error.ToString();
        EXPECT_NE(error.message.find(c.message), std::string::npos) << error.ToString();
        EXPECT_EQ(error.ToString().rfind("bad.qvrsim:" + std::to_string(c.line) + ": ", 0), 0u) << error.ToString();
    }
}

TEST(ScenarioParserTest, GoodLinesBecomeResolvedSteps)
{
    ParseError error;
    const auto scenario = ParseScenario(
        "# a comment\n"
        "name a \"quoted\" title  \r\n"
        "start web \"\\Device\\HarddiskVolume2\\Program Files\\Web\\web.exe\" notify=no\n"
        "rules exempt a.exe B.EXE expect=STATUS_UNSUCCESSFUL label=\"two names # not a comment\"\n"
        "raw 0x0022A00C 1200 00000100 as=admin access=read out=0x10 wait=250ms expect=0xC0000022\n"
        "quic 0x2a\n"
        "port-answer result=7 delay=3s\n"
        "proxy 8080\n"
        "filter ask remote-port=8443 weight=0x4000000000000000 pid=1234\n"
        "connect web [2001:db8::7]:443 from=[::]:0 as=v6 expect=redirected\n"
        "send web 203.0.113.7:443\n"
        "clock manual\n"
        "advance 10s\n",
        "good.qvrsim", &error);
    ASSERT_TRUE(scenario.has_value()) << error.ToString();
    EXPECT_EQ(scenario->name, "a quoted title");
    ASSERT_EQ(scenario->steps.size(), 11u);
    const auto &s = scenario->steps;

    EXPECT_EQ(s[0].kind, StepKind::Start);
    EXPECT_EQ(s[0].line, 3);
    EXPECT_EQ(s[0].imagePath, u"\\Device\\HarddiskVolume2\\Program Files\\Web\\web.exe");
    EXPECT_FALSE(s[0].notify);

    EXPECT_FALSE(s[1].policy.interceptListed);
    EXPECT_EQ(s[1].policy.names, (std::vector<std::u16string>{u"a.exe", u"B.EXE"}));
    EXPECT_EQ(s[1].expectedStatus, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(s[1].label, "two names # not a comment");

    EXPECT_EQ(s[2].code, IOCTL_QVR_SET_PROCESS_RULES);
    EXPECT_EQ(s[2].input, (std::vector<std::uint8_t>{0x12, 0x00, 0x00, 0x00, 0x01, 0x00}));
    EXPECT_TRUE(s[2].ownHandle);
    EXPECT_EQ(s[2].identity, winsim::Identity::Administrator);
    EXPECT_EQ(s[2].access, static_cast<ACCESS_MASK>(GENERIC_READ));
    EXPECT_EQ(s[2].outputLength, 16u);
    EXPECT_EQ(s[2].waitMs, 250);
    EXPECT_EQ(s[2].expectedStatus, STATUS_ACCESS_DENIED);

    EXPECT_EQ(s[3].quicValue, 42u);
    EXPECT_EQ(s[4].answer, qvr::sim::PortAnswerKind::Result);
    EXPECT_EQ(s[4].answerValue, 7u);
    EXPECT_EQ(s[4].delayMs, 3000);
    EXPECT_TRUE(s[6].askForPort);
    EXPECT_FALSE(s[6].targetIsProxy);
    EXPECT_EQ(s[6].targetPid, 1234u);
    EXPECT_EQ(s[6].remotePort, 8443);
    EXPECT_EQ(s[6].weight, 1ull << 62);
    EXPECT_EQ(s[7].connection, "v6");
    EXPECT_EQ(s[7].local, "[::]:0");
    EXPECT_EQ(s[7].expectedConnection, qvr::sim::ConnectionExpectation::Redirected);
    EXPECT_TRUE(s[8].udp);
    EXPECT_EQ(s[8].connection, "c2");
    EXPECT_EQ(s[10].advanceMs, 10000);
}

TEST(ScenarioParserTest, EveryStatusTheDriverReturnsIsKnownByName)
{
    const NTSTATUS driverStatuses[] = {STATUS_SUCCESS,        STATUS_UNSUCCESSFUL,       STATUS_INVALID_PARAMETER,
                                       STATUS_NO_MEMORY,      STATUS_INSUFFICIENT_RESOURCES, STATUS_BUFFER_TOO_SMALL,
                                       STATUS_NOT_FOUND,      STATUS_NO_MORE_ENTRIES,    STATUS_INTEGER_OVERFLOW,
                                       STATUS_INFO_LENGTH_MISMATCH, STATUS_CANCELLED,    STATUS_ACCESS_DENIED,
                                       STATUS_OBJECT_NAME_NOT_FOUND, STATUS_INVALID_HANDLE, STATUS_DEVICE_BUSY,
                                       STATUS_FWP_TCPIP_NOT_READY, STATUS_IMAGE_ALREADY_LOADED, STATUS_PENDING};
    for (NTSTATUS status : driverStatuses) {
        const char *name = qvr::agent::StatusName(status);
        ASSERT_NE(name, nullptr) << std::hex << status;
        EXPECT_EQ(qvr::sim::ParseStatus(name), status) << name;
    }
    std::size_t count = 0;
    qvr::agent::KnownStatuses(&count);
    EXPECT_GE(count, 80u);
    // A shared value is named by its first name: STATUS_WAIT_0 is STATUS_SUCCESS's value.
    EXPECT_STREQ(qvr::agent::StatusName(STATUS_WAIT_0), "STATUS_SUCCESS");
    EXPECT_EQ(qvr::sim::ParseStatus("STATUS_WAIT_0"), STATUS_SUCCESS);

    for (const char *bad : {"", "0x", "C000000D", "0xC000000G", "0x1C000000D", "status_success", "STATUS_SUCCESS "}) {
        EXPECT_FALSE(qvr::sim::ParseStatus(bad).has_value()) << bad;
    }
    EXPECT_EQ(qvr::sim::ParseStatus("0xc000000d"), STATUS_INVALID_PARAMETER);
}

TEST(ScenarioParserTest, SizeLimitsAreRefusedWithAMessage)
{
    ParseError error;
    std::string many;
    for (std::size_t i = 0; i <= qvr::sim::kMaxSteps; ++i) {
        many += "quic on\n";
    }
    EXPECT_FALSE(ParseScenario(many, "many", &error).has_value());
    EXPECT_EQ(error.line, static_cast<int>(qvr::sim::kMaxSteps + 1));

    std::string probes;
    for (std::size_t i = 0; i <= qvr::sim::kMaxProbes; ++i) {
        probes += "probe \\Device\\a.exe\n";
    }
    EXPECT_FALSE(ParseScenario(probes, "probes", &error).has_value());
    EXPECT_EQ(error.line, static_cast<int>(qvr::sim::kMaxProbes + 1));

    // 100 probes are judged again after each rules step: the 201st would pass the limit.
    std::string judged;
    for (int i = 0; i < 100; ++i) {
        judged += "probe \\Device\\a.exe\n";
    }
    for (int i = 0; i < 201; ++i) {
        judged += "rules intercept a.exe\n";
    }
    EXPECT_FALSE(ParseScenario(judged, "judged", &error).has_value());
    EXPECT_EQ(error.line, 301);

    EXPECT_FALSE(ParseScenario("name " + std::string(qvr::sim::kMaxLineBytes, 'x') + "\n", "long", &error).has_value());
    EXPECT_NE(error.message.find("line longer than"), std::string::npos);

    std::string bytes = "raw rules";
    for (std::size_t i = 0; i <= qvr::sim::kMaxRawBytes / 1024; ++i) {
        bytes += " " + std::string(2048, 'a');
    }
    EXPECT_FALSE(ParseScenario(bytes, "big", &error).has_value());
    EXPECT_NE(error.message.find("more than 65536 bytes"), std::string::npos) << error.ToString();
}

TEST(ScenarioParserTest, TheEmbeddedDefaultParses)
{
    ParseError error;
    ASSERT_TRUE(ParseScenario(qvr::sim::DefaultScenarioText(), "default.qvrsim", &error).has_value()) << error.ToString();
    EXPECT_GT(qvr::sim::DefaultScenario().steps.size(), 40u);
}

}  // namespace
