/*
 * scenario.cpp
 *
 * The scenario language's reader: lines are split into words (a word in double quotes
 * may hold spaces), the first word names the directive, the others are its arguments and
 * key=value options. Every value is checked here, and the names of processes and
 * connections, the proxy and the hand-run clock are followed along the file, so that a
 * scenario that parses can be played to its end.
 */
#include "scenario.h"
#include "scenario_values.h"

#include "agent/status_names.h"

#include <winsim/network.h>

#include <qvr_ioctl.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

namespace qvr::sim {

extern const char kEmbeddedDefaultScenario[];  // generated from scenarios/default.qvrsim

namespace {

struct Word {
    std::string text;
    bool quoted = false;
    std::size_t equals = std::string::npos;  // an '=' before any quote: key=value
};

// One directive's words: positionals in order, options by key.
struct Args {
    std::vector<Word> positional;
    std::map<std::string, std::string> options;
};

// What the reader knows of the timeline so far.
struct Timeline {
    std::set<std::string> running;      // scenario names of running processes
    std::set<std::string> everStarted;
    std::set<std::string> connections;
    bool proxy = false;
    bool manualClock = false;
    bool loaded = true;
    int connectionCount = 0;
    std::size_t probes = 0;
    std::size_t judgements = 0;         // probes judged after rules steps, so far
};

std::vector<Word> SplitWords(const std::string &line)
{
    std::vector<Word> words;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        if (line[i] == '#') {
            break;
        }
        Word word;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            if (line[i] == '"') {
                const std::size_t close = line.find('"', i + 1);
                if (close == std::string::npos) {
                    Fail("\"", "a quoted word has no closing quote");
                }
                word.text += line.substr(i + 1, close - i - 1);
                word.quoted = true;
                i = close + 1;
            } else {
                if (line[i] == '=' && !word.quoted && word.equals == std::string::npos) {
                    word.equals = word.text.size();
                }
                word.text += line[i++];
            }
        }
        words.push_back(std::move(word));
    }
    return words;
}

// What each directive takes, for checking and for --help.
struct DirectiveForm {
    const char *word;
    const char *usage;
    const char *help;
    std::vector<std::string> options;      // besides label=
    std::size_t minPositional;
    std::size_t maxPositional;
    StepKind kind;
};

const std::vector<DirectiveForm> &Directives()
{
    static const std::vector<DirectiveForm> forms = {
        {"name", "name <text...>", "the scenario's title (not a step)", {}, 1, 1000, StepKind::Rules},
        {"start", "start <process> <image-path> [notify=no]",
         "a process starts running the image (NT path); <process> names it in later lines", {"notify"}, 2, 2,
         StepKind::Start},
        {"end", "end <process> [notify=no]", "the process ends", {"notify"}, 1, 1, StepKind::End},
        {"processes", "processes", "shows each running process with the intercept flag the driver keeps for it", {},
         0, 0, StepKind::Processes},
        {"rules", "rules intercept|exempt [<file-name>...] [expect=STATUS]",
         "the service sends its process rules: only the names intercepted, or all but the names", {"expect"}, 1,
         100000, StepKind::Rules},
        {"quic", "quic on|off|<value> [expect=STATUS]",
         "the service sends the QUIC switch (on is 1; a number is sent as it is)", {"expect"}, 1, 1, StepKind::Quic},
        {"probe", "probe <image-path>",
         "shows whether the rules in force intercept the image, now and after every rules request", {}, 1, 1,
         StepKind::Probe},
        {"open", "open [as=system|admin|user] [access=...] [expect=STATUS]",
         "a caller opens the control device (and closes it again)", {"as", "access", "expect"}, 0, 0, StepKind::Open},
        {"raw", "raw rules|quic|callback|0x<code> [<hex bytes>...] [as=...] [access=...] [out=<n>] [wait=<time>] [expect=STATUS]",
         "sends the bytes as they are; through the service's handle, or with as=/access= through a handle of its own;"
         " prints status, information and the output bytes",
         {"as", "access", "out", "wait", "expect"}, 1, 100000, StepKind::Raw},
        {"carriers", "carriers <n>", "the service keeps <n> callback requests parked in the driver (0: none)", {}, 1,
         1, StepKind::Carriers},
        {"port-answer", "port-answer <port>|proxy|silent|short|result=<n> [delay=<time>]",
         "how the service answers the driver's port queries from now on (delay on winsim's clock)",
         {"result", "delay"}, 0, 1, StepKind::PortAnswer},
        {"verdict", "verdict permit|block [<address:port>...]|silent [delay=<time>]",
         "how the service decides the connections held for its verdict from now on: permit every one, block the"
         " destinations listed (port 0: every port of the address; every destination when none is listed) and"
         " permit the others, or never answer (delay on winsim's clock)",
         {"delay"}, 1, 1000, StepKind::Verdict},
        {"proxy", "proxy <port> [image=<path>]", "the agent's proxy starts and listens on the port (IPv4 and IPv6)",
         {"image"}, 1, 1, StepKind::Proxy},
        {"filter", "filter proxy|ask|<port>|blob=<hex> [remote-port=<n>] [weight=<n>] [pid=proxy|<n>] [hold=yes|no]",
         "the service adds a connect-redirect filter at each layer: to the proxy's port, asking for the port, to a"
         " port, or with any provider-context bytes; hold=yes adds a redirect-records filter at each auth-connect"
         " layer, so that the connections it redirects are held for the service's verdict",
         {"blob", "remote-port", "weight", "pid", "hold"}, 0, 1, StepKind::Filter},
        {"connect", "connect <process> <address:port> [from=<address:port>] [records=<hex>] [as=<connection>] [wait=<time>] [expect=OUTCOME]",
         "the process connects over TCP, carrying the redirect records given (SIO form, as another redirector's"
         " proxy sets them); OUTCOME is redirected, direct, blocked, refused or pending",
         {"from", "records", "as", "wait", "expect"}, 2, 2, StepKind::Connect},
        {"send", "send <process> <address:port> [from=<address:port>] [as=<connection>] [wait=<time>] [expect=OUTCOME]",
         "the process sends a UDP datagram (QUIC)", {"from", "as", "wait", "expect"}, 2, 2, StepKind::Connect},
        {"onward", "onward <connection> [by=<process>] [as=<connection>] [expect=OUTCOME]",
         "the proxy connects onwards for a connection it accepted, carrying its redirect records; by= hands the"
         " records to another process (a helper of the proxy's) that connects with them",
         {"by", "as", "expect"}, 1, 1, StepKind::Onward},
        {"close", "close <connection>", "the connection is closed", {}, 1, 1, StepKind::Close},
        {"settle", "settle [<connection>...] [wait=<time>]",
         "waits (up to wait=, default 15s) for the connections, or every pending one, to settle, or to wait on the"
         " hand-run clock",
         {"wait"}, 0, 1000, StepKind::Settle},
        {"addresses", "addresses <ipv4> <ipv6>", "the machine's own addresses", {}, 2, 2, StepKind::Addresses},
        {"bfe", "bfe stop|start|stopped|start-pending|running|stop-pending",
         "the Base Filtering Engine stops, starts, or enters one state", {}, 1, 1, StepKind::Bfe},
        {"clock", "clock manual|real", "winsim's clock is moved by hand (advance) or follows real time", {}, 1, 1,
         StepKind::Clock},
        {"advance", "advance <time>", "the hand-run clock moves on (250ms, 10s)", {}, 1, 1, StepKind::Advance},
        {"unload", "unload [connections=close|open]",
         "the service stops, the driver is unloaded and the verifier reports; with connections=open the"
         " scenario's connections stay open while the driver unloads (they close after it)",
         {"connections"}, 0, 0, StepKind::Unload},
        {"held", "held",
         "the held-connection section: the service's own proxy and filters hold connections of webbrowser.exe for"
         " its verdict (one permitted, one blocked), QUIC with the switch on and off, the discard reports",
         {}, 0, 0, StepKind::Held},
        {"load", "load", "the driver is loaded again and the service starts as at the beginning", {}, 0, 0,
         StepKind::Load},
        {"trace", "trace FLAGS[,LEVEL]|off",
         "the trace session's flags (0x1 rules, 0x2 driver, or rules+driver, all) and level (1 to 5 or its name)"
         " from here on; a scenario with one gets a session even without --trace",
         {}, 1, 1, StepKind::Trace},
    };
    return forms;
}

std::optional<ConnectionExpectation> ParseOutcome(const std::string &text)
{
    if (text == "redirected") return ConnectionExpectation::Redirected;
    if (text == "direct") return ConnectionExpectation::Direct;
    if (text == "blocked") return ConnectionExpectation::Blocked;
    if (text == "refused") return ConnectionExpectation::Refused;
    if (text == "pending") return ConnectionExpectation::Pending;
    return std::nullopt;
}

std::string Joined(const std::vector<Word> &words, std::size_t from)
{
    std::string text;
    for (std::size_t i = from; i < words.size(); ++i) {
        text += (i > from ? " " : "") + words[i].text;
    }
    return text;
}

const std::string *Option(const Args &args, const std::string &key)
{
    auto found = args.options.find(key);
    return found == args.options.end() ? nullptr : &found->second;
}

bool NotifyOption(const Args &args)
{
    const std::string *notify = Option(args, "notify");
    if (notify == nullptr || *notify == "yes") {
        return true;
    }
    if (*notify != "no") {
        Fail("notify", "'" + *notify + "': yes or no");
    }
    return false;
}

std::string ProcessRef(const std::string &text, const Timeline &timeline)
{
    if (timeline.running.count(text) == 0) {
        Fail("process", "'" + text + "' is not a running process of this scenario" +
                            (timeline.everStarted.count(text) != 0 ? " (it has ended)" : ""));
    }
    return text;
}

std::string ConnectionRef(const std::string &text, const Timeline &timeline)
{
    if (timeline.connections.count(text) == 0) {
        Fail("connection", "'" + text + "' is not an open connection of this scenario");
    }
    return text;
}

std::string NewConnection(const Args &args, Timeline &timeline)
{
    std::string name;
    do {
        name = "c" + std::to_string(++timeline.connectionCount);
    } while (timeline.connections.count(name) != 0);
    if (const std::string *as = Option(args, "as")) {
        if (!IsName(*as)) {
            Fail("as", "'" + *as + "' is not a name (letters, digits, - _ .)");
        }
        if (timeline.connections.count(*as) != 0) {
            Fail("as", "'" + *as + "' names an open connection already");
        }
        name = *as;
    }
    timeline.connections.insert(name);
    return name;
}

ULONG ParseControlCode(const std::string &text)
{
    if (text == "rules") return IOCTL_QVR_SET_PROCESS_RULES;
    if (text == "quic") return IOCTL_QVR_SET_QUIC_BLOCKING;
    if (text == "callback") return IOCTL_QVR_CALLBACK;
    if (text.rfind("0x", 0) != 0) {
        Fail("code", "'" + text + "': rules, quic, callback, or 0x and a control code");
    }
    return static_cast<ULONG>(ParseNumber(text, "code", 0xFFFFFFFFu));
}

// Fills the step from the directive's arguments; the label is made afterwards.
void Build(const DirectiveForm &form, const Args &args, Step &step, Timeline &timeline, std::string *describe)
{
    const std::vector<Word> &p = args.positional;
    switch (form.kind) {
    case StepKind::Start:
        if (!IsName(p[0].text)) {
            Fail("process", "'" + p[0].text + "' is not a name (letters, digits, - _ .)");
        }
        if (timeline.running.count(p[0].text) != 0) {
            Fail("process", "'" + p[0].text + "' is running already");
        }
        step.subject = p[0].text;
        step.imagePath = Utf16(p[1].text, "image-path");
        step.notify = NotifyOption(args);
        timeline.running.insert(step.subject);
        timeline.everStarted.insert(step.subject);
        *describe = "start " + step.subject + " (" + p[1].text + ")";
        break;
    case StepKind::End:
        step.subject = ProcessRef(p[0].text, timeline);
        step.notify = NotifyOption(args);
        timeline.running.erase(step.subject);
        *describe = "end " + step.subject;
        break;
    case StepKind::Processes:
        *describe = "the driver's intercept flag of each running process";
        break;
    case StepKind::Rules: {
        if (p[0].text != "intercept" && p[0].text != "exempt") {
            Fail("mode", "'" + p[0].text + "': intercept or exempt");
        }
        step.policy.interceptListed = p[0].text == "intercept";
        for (std::size_t i = 1; i < p.size(); ++i) {
            step.policy.names.push_back(Utf16(p[i].text, "name"));
        }
        *describe = "rules " + p[0].text + " [" + Joined(p, 1) + "]";
        break;
    }
    case StepKind::Quic:
        if (p[0].text == "on" || p[0].text == "off") {
            step.quicValue = p[0].text == "on" ? 1 : 0;
        } else {
            step.quicValue = static_cast<std::uint32_t>(ParseNumber(p[0].text, "value", 0xFFFFFFFFu));
        }
        *describe = "QUIC switch " + p[0].text;
        break;
    case StepKind::Probe:
        step.imagePath = Utf16(p[0].text, "image-path");
        *describe = "probe " + p[0].text;
        break;
    case StepKind::Open:
    case StepKind::Raw: {
        if (const std::string *as = Option(args, "as")) {
            step.identity = ParseIdentity(*as, "as");
            step.ownHandle = true;
        }
        if (const std::string *access = Option(args, "access")) {
            step.access = ParseAccess(*access, "access");
            step.ownHandle = true;
        }
        if (form.kind == StepKind::Open) {
            step.ownHandle = true;
            *describe = "open the control device as " + (Option(args, "as") ? *Option(args, "as") : std::string("system"));
            break;
        }
        step.code = ParseControlCode(p[0].text);
        for (std::size_t i = 1; i < p.size(); ++i) {
            AppendHexBytes(p[i].text, "bytes", &step.input);
        }
        if (const std::string *out = Option(args, "out")) {
            step.outputLength = static_cast<std::uint32_t>(ParseNumber(*out, "out", kMaxRawBytes));
        }
        step.waitMs = 2000;
        if (const std::string *wait = Option(args, "wait")) {
            step.waitMs = ParseDuration(*wait, "wait", 60000);
        }
        *describe = "raw " + p[0].text + " request of " + std::to_string(step.input.size()) + " bytes";
        break;
    }
    case StepKind::Carriers:
        step.count = static_cast<std::uint32_t>(ParseNumber(p[0].text, "count", 64));
        *describe = "the service parks " + std::to_string(step.count) + " callback requests";
        break;
    case StepKind::PortAnswer: {
        const std::string *result = Option(args, "result");
        if ((result != nullptr) == !p.empty()) {
            Fail("answer", "give one of <port>, proxy, silent, short, result=<n>");
        }
        if (result != nullptr) {
            step.answer = PortAnswerKind::Result;
            step.answerValue = static_cast<std::uint32_t>(ParseNumber(*result, "result", 0xFFFFFFFFu));
        } else if (p[0].text == "proxy") {
            step.answer = PortAnswerKind::ProxyPort;
        } else if (p[0].text == "silent") {
            step.answer = PortAnswerKind::Silent;
        } else if (p[0].text == "short") {
            step.answer = PortAnswerKind::Short;
        } else {
            step.answer = PortAnswerKind::Port;
            step.answerValue = static_cast<std::uint32_t>(ParseNumber(p[0].text, "port", 65535));
        }
        if (const std::string *delay = Option(args, "delay")) {
            step.delayMs = ParseDuration(*delay, "delay", 3600 * 1000);
        }
        *describe = "port queries: " + (result ? "result " + *result : p[0].text) +
                    (step.delayMs ? " after " + *Option(args, "delay") : "");
        break;
    }
    case StepKind::Verdict: {
        static const std::map<std::string, VerdictKind> kinds = {
            {"permit", VerdictKind::Permit}, {"block", VerdictKind::Block}, {"silent", VerdictKind::Silent}};
        const auto kind = kinds.find(p[0].text);
        if (kind == kinds.end()) {
            Fail("verdict", "'" + p[0].text + "': permit, block or silent");
        }
        step.verdict = kind->second;
        for (std::size_t i = 1; i < p.size(); ++i) {
            CheckEndpoint(p[i].text, "destination");
            step.verdictBlocked.push_back(p[i].text);
        }
        if (step.verdict != VerdictKind::Block && !step.verdictBlocked.empty()) {
            Fail("verdict", p[0].text + " takes no destinations (block takes those it blocks)");
        }
        if (const std::string *delay = Option(args, "delay")) {
            step.delayMs = ParseDuration(*delay, "delay", 3600 * 1000);
        }
        *describe = "held connections: " +
                    (step.verdict == VerdictKind::Silent ? std::string("no verdict")
                     : step.verdict == VerdictKind::Permit ? std::string("every one permitted")
                     : step.verdictBlocked.empty()         ? std::string("every one blocked")
                     : "blocked to " + Joined(p, 1) + ", the others permitted") +
                    (step.delayMs ? " after " + *Option(args, "delay") : "");
        break;
    }
    case StepKind::Proxy:
        if (timeline.proxy) {
            Fail("proxy", "the proxy is running already");
        }
        step.port = static_cast<std::uint16_t>(ParseNumber(p[0].text, "port", 65535));
        if (step.port == 0) {
            Fail("port", "the proxy needs a port other than 0");
        }
        if (const std::string *image = Option(args, "image")) {
            step.imagePath = Utf16(*image, "image");
        }
        timeline.proxy = true;
        *describe = "the proxy listens on port " + p[0].text;
        break;
    case StepKind::Filter: {
        const std::string *blob = Option(args, "blob");
        if ((blob != nullptr) == !p.empty()) {
            Fail("target", "give one of proxy, ask, <port>, blob=<hex>");
        }
        std::string target;
        if (blob != nullptr) {
            step.blob.emplace();
            AppendHexBytes(*blob, "blob", &*step.blob);
            target = std::to_string(step.blob->size()) + " bytes of provider context";
        } else if (p[0].text == "proxy") {
            target = "the proxy's port";
        } else if (p[0].text == "ask") {
            step.askForPort = true;
            target = "the port asked for";
        } else {
            step.port = static_cast<std::uint16_t>(ParseNumber(p[0].text, "port", 65535));
            target = "port " + p[0].text;
        }
        const std::string *pid = Option(args, "pid");
        if (pid != nullptr && *pid != "proxy") {
            step.targetIsProxy = false;
            step.targetPid = static_cast<std::uint32_t>(ParseNumber(*pid, "pid", 0xFFFFFFFFu));
        }
        if (step.targetIsProxy && blob == nullptr && !timeline.proxy) {
            Fail("target", "the filter's target is the proxy, and no proxy runs here (say proxy <port> first, or pid=)");
        }
        if (!p.empty() && p[0].text == "proxy") {
            step.port = 0;  // filled with the proxy's port when played
        }
        if (const std::string *port = Option(args, "remote-port")) {
            step.remotePort = static_cast<std::uint16_t>(ParseNumber(*port, "remote-port", 65535));
        }
        if (const std::string *weight = Option(args, "weight")) {
            step.weight = ParseNumber(*weight, "weight", ~0ull);
        }
        if (const std::string *hold = Option(args, "hold")) {
            if (*hold != "yes" && *hold != "no") {
                Fail("hold", "'" + *hold + "': yes or no");
            }
            step.holdForVerdict = *hold == "yes";
        }
        *describe = "connect-redirect filter" +
                    (step.remotePort ? " for remote port " + std::to_string(*step.remotePort) : std::string()) +
                    " to " + target + (step.holdForVerdict ? ", holding them for the verdict" : "");
        break;
    }
    case StepKind::Connect: {
        step.udp = form.word == std::string("send");
        step.subject = ProcessRef(p[0].text, timeline);
        CheckEndpoint(p[1].text, "destination");
        step.remote = p[1].text;
        if (const std::string *from = Option(args, "from")) {
            CheckEndpoint(*from, "from");
            step.local = *from;
        }
        if (const std::string *records = Option(args, "records")) {
            step.records.emplace();
            AppendHexBytes(*records, "records", &*step.records);
        }
        step.waitMs = 15000;
        if (const std::string *wait = Option(args, "wait")) {
            step.waitMs = ParseDuration(*wait, "wait", 60000);
        }
        step.connection = NewConnection(args, timeline);
        *describe = (step.udp ? "UDP send of " : "connect ") + step.subject + " to " + step.remote +
                    (step.local.empty() ? "" : " from " + step.local);
        break;
    }
    case StepKind::Onward:
        step.subject = ConnectionRef(p[0].text, timeline);
        if (!timeline.proxy) {
            Fail("onward", "no proxy runs here");
        }
        if (const std::string *by = Option(args, "by")) {
            step.onwardBy = ProcessRef(*by, timeline);
        }
        step.connection = NewConnection(args, timeline);
        *describe = (step.onwardBy.empty() ? "the proxy's connection onwards for " : step.onwardBy + "'s connection onwards, with the proxy's records, for ") + step.subject;
        break;
    case StepKind::Settle:
        for (const Word &word : p) {
            step.connections.push_back(ConnectionRef(word.text, timeline));
        }
        step.waitMs = 15000;
        if (const std::string *wait = Option(args, "wait")) {
            step.waitMs = ParseDuration(*wait, "wait", 60000);
        }
        *describe = "wait for " + (p.empty() ? std::string("the pending connections") : Joined(p, 0)) + " to settle";
        break;
    case StepKind::Close:
        step.subject = ConnectionRef(p[0].text, timeline);
        timeline.connections.erase(step.subject);
        *describe = "close " + step.subject;
        break;
    case StepKind::Addresses:
        CheckAddress(p[0].text, "ipv4", 2);
        CheckAddress(p[1].text, "ipv6", 23);
        step.address4 = p[0].text;
        step.address6 = p[1].text;
        *describe = "the machine's addresses are " + step.address4 + " and " + step.address6;
        break;
    case StepKind::Bfe: {
        static const std::set<std::string> states = {"stop", "start", "stopped", "start-pending", "running", "stop-pending"};
        if (states.count(p[0].text) == 0) {
            Fail("state", "'" + p[0].text + "': stop, start, stopped, start-pending, running or stop-pending");
        }
        step.bfe = p[0].text;
        *describe = "BFE " + step.bfe;
        break;
    }
    case StepKind::Clock:
        if (p[0].text != "manual" && p[0].text != "real") {
            Fail("mode", "'" + p[0].text + "': manual or real");
        }
        step.manualClock = p[0].text == "manual";
        timeline.manualClock = step.manualClock;
        *describe = "the clock runs " + std::string(step.manualClock ? "by hand" : "in real time");
        break;
    case StepKind::Advance:
        if (!timeline.manualClock) {
            Fail("advance", "the clock runs in real time here (say clock manual first)");
        }
        step.advanceMs = ParseDuration(p[0].text, "time", 3600 * 1000);
        *describe = "the clock moves on " + p[0].text;
        break;
    case StepKind::Unload:
        if (!timeline.loaded) {
            Fail("unload", "the driver is not loaded here");
        }
        if (const std::string *connections = Option(args, "connections")) {
            if (*connections != "close" && *connections != "open") {
                Fail("connections", "'" + *connections + "': close or open");
            }
            step.keepConnections = *connections == "open";
        }
        timeline.loaded = false;
        timeline.proxy = false;
        timeline.connections.clear();
        *describe = step.keepConnections ? "the service stops and the driver unloads, its connections open"
                                         : "the service stops and the driver unloads";
        break;
    case StepKind::Trace: {
        std::optional<TraceSettings> settings = ParseTraceSettings(p[0].text);
        if (!settings) {
            Fail("settings", "'" + p[0].text + "': FLAGS[,LEVEL] (0x3,5; rules+driver,verbose) or off");
        }
        step.trace = *settings;
        *describe = "the trace session changes to " + DescribeTraceSettings(*settings);
        break;
    }
    case StepKind::Held:
        if (!timeline.loaded) {
            Fail("held", "the driver is not loaded here");
        }
        if (timeline.proxy) {
            Fail("held", "the section starts a proxy of its own, and the scenario's proxy runs here");
        }
        if (!timeline.connections.empty()) {
            Fail("held", "the section ends every connection, and '" + *timeline.connections.begin() + "' is open here");
        }
        if (timeline.manualClock) {
            Fail("held", "the section needs the clock in real time (say clock real first)");
        }
        *describe = "held connections, QUIC on and off, discard reports";
        break;
    case StepKind::Load:
        if (timeline.loaded) {
            Fail("load", "the driver is loaded already");
        }
        timeline.loaded = true;
        *describe = "the driver loads and the service starts";
        break;
    }
}

bool TakesStatus(StepKind kind)
{
    return kind == StepKind::Rules || kind == StepKind::Quic || kind == StepKind::Open || kind == StepKind::Raw;
}

void ParseLine(const std::vector<Word> &words, int number, Scenario &scenario, Timeline &timeline)
{
    const std::string &word = words[0].text;
    const DirectiveForm *form = nullptr;
    for (const DirectiveForm &candidate : Directives()) {
        if (word == candidate.word) {
            form = &candidate;
        }
    }
    if (form == nullptr || words[0].quoted) {
        Fail(word, "unknown directive (qvrsim --help lists them)");
    }
    if (word == "name") {
        scenario.name = Joined(words, 1);
        return;
    }
    Args args;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::size_t equals = words[i].equals;
        if (equals == std::string::npos || equals == 0) {
            args.positional.push_back(words[i]);
            continue;
        }
        const std::string key = words[i].text.substr(0, equals);
        if (key != "label" && std::find(form->options.begin(), form->options.end(), key) == form->options.end()) {
            Fail(key, "not an option of " + word);
        }
        if (args.options.count(key) != 0) {
            Fail(key, "given twice");
        }
        args.options[key] = words[i].text.substr(equals + 1);
    }
    if (args.positional.size() < form->minPositional || args.positional.size() > form->maxPositional) {
        Fail(word, "usage: " + std::string(form->usage));
    }

    Step step;
    step.kind = form->kind;
    step.directive = word;
    step.line = number;
    std::string describe;
    Build(*form, args, step, timeline, &describe);
    step.label = describe;
    if (const std::string *label = Option(args, "label")) {
        if (label->empty()) {
            Fail("label", "empty label");
        }
        step.label = *label;
    }
    if (const std::string *expect = Option(args, "expect")) {
        if (TakesStatus(step.kind)) {
            step.expectedStatus = ParseStatus(*expect);
            if (!step.expectedStatus) {
                Fail("expect", "'" + *expect + "' is not a status name (qvrsim --help lists them) or 0x and a value");
            }
        } else {
            step.expectedConnection = ParseOutcome(*expect);
            if (!step.expectedConnection) {
                Fail("expect", "'" + *expect + "': redirected, direct, blocked, refused or pending");
            }
        }
    }
    if (scenario.steps.size() >= kMaxSteps) {
        Fail(word, "more than " + std::to_string(kMaxSteps) + " steps");
    }
    // Every probe is judged again after each rules step: their number bounds that work.
    if (step.kind == StepKind::Probe && ++timeline.probes > kMaxProbes) {
        Fail(word, "more than " + std::to_string(kMaxProbes) + " probes");
    }
    if (step.kind == StepKind::Rules || (step.kind == StepKind::Raw && step.code == IOCTL_QVR_SET_PROCESS_RULES)) {
        timeline.judgements += timeline.probes;
        if (timeline.judgements > kMaxJudgements) {
            Fail(word, "the probes would be judged more than " + std::to_string(kMaxJudgements) +
                           " times after rules steps");
        }
    }
    scenario.steps.push_back(std::move(step));
}

}  // namespace

std::string ParseError::ToString() const
{
    std::string text = source;
    if (line > 0) {
        text += ":" + std::to_string(line);
    }
    text += ": ";
    if (!field.empty()) {
        text += field + ": ";
    }
    return text + message;
}

std::optional<NTSTATUS> ParseStatus(const std::string &text)
{
    if (std::optional<NTSTATUS> known = agent::StatusByName(text)) {
        return known;
    }
    if (text.size() < 3 || text.size() > 10 || text.rfind("0x", 0) != 0) {
        return std::nullopt;
    }
    for (std::size_t i = 2; i < text.size(); ++i) {
        if (!IsHexDigit(text[i])) {
            return std::nullopt;
        }
    }
    return static_cast<NTSTATUS>(std::stoul(text.substr(2), nullptr, 16));
}

std::optional<Scenario> ParseScenario(const std::string &text, const std::string &source, ParseError *error)
{
    Scenario scenario;
    scenario.source = source;
    Timeline timeline;
    *error = ParseError{source, 0, "", ""};
    if (text.size() > kMaxScenarioBytes) {
        error->message = "larger than " + std::to_string(kMaxScenarioBytes >> 20) + " MiB";
        return std::nullopt;
    }
    if (text.find('\0') != std::string::npos) {
        error->line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + text.find('\0'), '\n'));
        error->message = "not text (a NUL byte)";
        return std::nullopt;
    }
    std::size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        try {
            if (line.size() > kMaxLineBytes) {
                Fail("", "line longer than " + std::to_string(kMaxLineBytes) + " bytes");
            }
            const std::vector<Word> words = SplitWords(line);
            if (!words.empty()) {
                ParseLine(words, number, scenario, timeline);
            }
        } catch (const ScenarioFailure &failure) {
            *error = ParseError{source, number, failure.field, failure.message};
            return std::nullopt;
        }
    }
    if (scenario.name.empty()) {
        scenario.name = source;
    }
    return scenario;
}

bool HasTraceSteps(const Scenario &scenario)
{
    for (const Step &step : scenario.steps) {
        if (step.kind == StepKind::Trace) {
            return true;
        }
    }
    return false;
}

std::optional<Scenario> LoadScenarioFile(const std::string &path, ParseError *error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = ParseError{path, 0, "", "cannot open"};
        return std::nullopt;
    }
    std::string text;
    char buffer[65536];
    while (file.read(buffer, sizeof(buffer)) || file.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(file.gcount()));
        if (text.size() > kMaxScenarioBytes) {
            *error = ParseError{path, 0, "", "larger than " + std::to_string(kMaxScenarioBytes >> 20) + " MiB"};
            return std::nullopt;
        }
    }
    if (file.bad()) {
        *error = ParseError{path, 0, "", "cannot read"};
        return std::nullopt;
    }
    const std::size_t slash = path.find_last_of('/');
    return ParseScenario(text, slash == std::string::npos ? path : path.substr(slash + 1), error);
}

const std::string &DefaultScenarioText()
{
    static const std::string text = kEmbeddedDefaultScenario;
    return text;
}

Scenario DefaultScenario()
{
    ParseError error;
    std::optional<Scenario> scenario = ParseScenario(DefaultScenarioText(), "default.qvrsim", &error);
    // The build checks the embedded file by running it; a broken one is a build mistake.
    if (!scenario) {
        Scenario broken;
        broken.name = "the embedded default does not parse: " + error.ToString();
        return broken;
    }
    return *scenario;
}

std::string DirectiveHelp()
{
    std::ostringstream out;
    for (const DirectiveForm &form : Directives()) {
        out << "  " << form.usage << "\n      " << form.help << "\n";
    }
    return out.str();
}

}  // namespace qvr::sim
