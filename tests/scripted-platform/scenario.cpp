// SONDREL_SCENARIO: blank-separated words, all optional, each at most once.
//   activate|initialize|seteventhandle|start=HR  that call's result
//   completion=now|late:MS|never
//   result=ok|code:HR|fail:HR|none|other  GetActivateResult: an audio client, an
//       activation result HR, the call failing, no outs written, or an object
//       that is no audio client
//   packets=480x10,480s,480n,480d,z  frames per packet (s silent, n null data,
//       d flagged as a data discontinuity, z announced but given with 0 frames;
//       xN repeats)   repeat   pace=prequeue|fast|realtime
//   fail=getnext|getbuffer|release:K:HR  that call fails on packet K
//   buffer=MS  packets come at the wall clock's pace into a platform buffer of
//       MS ms, as on Windows: a packet that finds it full is lost and the next
//       one kept is flagged as a data discontinuity
//   flush=N  Stop leaves a packet of N frames to be read (an engine handing
//       over its last cycle)   com=sta  the main thread pre-set to an STA
//   Linux: threadstart=fail|early  the next thread start after Start (or
//       GetService) fails; wait=fail  the next wait after the activation call
//       fails (ERROR_INVALID_HANDLE); writelimit=N  writes take at most N bytes;
//       openprocess=ERROR  OpenProcess fails with that Win32 error
//   stamp  (benchmarks) each packet's first 8 bytes: the monotonic time in ns
//       its event was signalled (CLOCK_MONOTONIC; QueryPerformanceCounter)
// A word it does not know, or a value it cannot read, ends the run with exit
// code 99 before anything else happens.
#include "scripted.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <sstream>
#include <utility>

namespace {

[[noreturn]] void Unreadable(const std::string& word) {
    std::fprintf(stderr, "scenario: cannot read '%s'\n", word.c_str());
    std::fflush(stderr);
    std::_Exit(99);
}

// The whole text as a number of at most 32 bits, or false.
bool Number(const std::string& text, std::uint64_t& value, int base = 10) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text.c_str(), &end, base);
    return errno == 0 && *end == '\0' && value <= 0xFFFFFFFFu;
}

bool Code(const std::string& text, HRESULT& code) {
    std::uint64_t value = 0;
    if (!Number(text, value, 0)) return false;
    code = static_cast<HRESULT>(static_cast<std::uint32_t>(value));
    return true;
}

bool Packets(const std::string& list, std::vector<PacketPlan>& packets) {
    std::stringstream items(list);
    for (std::string item; std::getline(items, item, ',');) {
        std::uint64_t count = 1;
        if (const auto times = item.find('x'); times != std::string::npos) {
            if (!Number(item.substr(times + 1), count) || count == 0) return false;
            item.resize(times);
        }
        PacketPlan plan;
        std::uint64_t frames = 480;
        if (item == "z") {
            plan.zeroFromGetBuffer = true;
        } else {
            for (; !item.empty() && item.find_first_of("snd", item.size() - 1) != std::string::npos;
                 item.pop_back()) {
                const char flag = item.back();
                (flag == 's' ? plan.silent : flag == 'n' ? plan.nullData : plan.discontinuity) = true;
            }
            if (!Number(item, frames)) return false;
        }
        plan.frames = static_cast<std::uint32_t>(frames);
        packets.insert(packets.end(), count, plan);
    }
    return !packets.empty();
}

template <typename Value>
bool OneOf(const std::string& text, std::initializer_list<std::pair<const char*, Value>> names,
           Value& value) {
    for (const auto& [name, named] : names)
        if (text == name) return value = named, true;
    return false;
}

// Splits "a:b" at the first colon.
std::pair<std::string, std::string> Split(const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return {text, ""};
    return {text.substr(0, colon), text.substr(colon + 1)};
}

Scenario Parse(const char* text) {
    std::map<std::string, std::string> words;
    std::stringstream in(text != nullptr ? text : "");
    for (std::string word; in >> word;) {
        const auto equals = word.find('=');
        if (equals + 1 == word.size() || words.count(word.substr(0, equals)) != 0) Unreadable(word);
        words[word.substr(0, equals)] = equals == std::string::npos ? "" : word.substr(equals + 1);
    }
    Scenario s;
    std::string key, v;
    const auto take = [&](const char* name) {
        const auto found = words.find(name);
        if (found == words.end()) return false;
        key = name, v = found->second;
        words.erase(found);
        return true;
    };
    const auto check = [&](bool read) {
        if (!read) Unreadable(key + "=" + v);
    };
    std::uint64_t n = 0;
    for (const auto& [name, code] : {std::pair{"activate", &s.activate}, {"start", &s.start},
                                     {"initialize", &s.initialize}, {"seteventhandle", &s.setEventHandle}})
        if (take(name)) check(Code(v, *code));
    for (const auto& [name, flag] : {std::pair{"repeat", &s.repeat}, {"stamp", &s.stamp}})
        if (take(name)) check(v.empty() && (*flag = true));
    if (take("packets")) check(Packets(v, s.packets));
    if (take("com")) check(v == "sta" && (s.singleThreadedApartment = true));
    if (take("wait")) check(v == "fail" && (s.waitFails = true));
    if (take("threadstart"))
        check(v == "fail" ? (s.threadStartFails = true) : v == "early" && (s.threadStartFailsEarly = true));
    if (take("buffer")) check(Number(v, n) && n > 0 && n <= 60000 && (s.bufferMs = unsigned(n)));
    if (take("writelimit")) check(Number(v, n) && n > 0 && (s.writeLimit = DWORD(n)));
    if (take("openprocess")) check(Number(v, n) && n > 0 && (s.openProcessError = DWORD(n)));
    if (take("flush")) check(Number(v, n) && n > 0 && (s.flushFrames = std::uint32_t(n)));
    if (take("pace"))
        check(OneOf(v, {{"prequeue", Pace::Prequeue}, {"fast", Pace::Fast}, {"realtime", Pace::Realtime}},
                    s.pace));
    if (take("completion")) {
        const auto [mode, delay] = Split(v);
        if (mode == "late") {
            check(Number(delay, n) && n <= 60000);
            s.lateMs = unsigned(n), s.completion = Completion::Late;
        } else {
            check(delay.empty() && OneOf(mode, {{"now", Completion::Now}, {"never", Completion::Never}},
                                         s.completion));
        }
    }
    if (take("result")) {
        const auto [mode, code] = Split(v);
        check(OneOf(mode, {{"ok", ResultMode::Ok}, {"code", ResultMode::Code}, {"fail", ResultMode::Fail},
                           {"none", ResultMode::None}, {"other", ResultMode::Other}},
                    s.resultMode));
        const bool coded = s.resultMode == ResultMode::Code || s.resultMode == ResultMode::Fail;
        check(coded ? Code(code, s.resultCode) : code.empty());
    }
    if (take("fail")) {
        const auto [call, rest] = Split(v);
        const auto [packet, code] = Split(rest);
        check((call == "getnext" || call == "getbuffer" || call == "release") &&
              Number(packet, s.failPacket) && Code(code, s.failCode) && (s.failAt = call, true));
    }
    if (!words.empty()) Unreadable(words.begin()->first);
    return s;
}

}  // namespace

const Scenario& TheScenario() {
    static const Scenario scenario = Parse(std::getenv("SONDREL_SCENARIO"));
    return scenario;
}
