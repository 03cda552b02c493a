// libFuzzer target: arbitrary bytes as a scenario file for the simulator's reader.
//
// The reader must refuse or accept any text without crashing, in time linear in its size;
// a refusal names a line of the text, and an accepted scenario's steps carry their lines in
// order, each within the text, each with a label.
#include "scenario.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const int lines = 1 + static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    qvr::sim::ParseError error;
    const std::optional<qvr::sim::Scenario> scenario = qvr::sim::ParseScenario(text, "fuzz", &error);
    if (!scenario) {
        if (error.line < 0 || error.line > lines || error.message.empty()) {
            std::fprintf(stderr, "refusal without a usable place: %s\n", error.ToString().c_str());
            std::abort();
        }
        return 0;
    }
    int previous = 0;
    for (const qvr::sim::Step &step : scenario->steps) {
        if (step.line <= previous || step.line > lines || step.label.empty()) {
            std::fprintf(stderr, "step at line %d after %d (of %d), label '%s'\n", step.line, previous, lines,
                         step.label.c_str());
            std::abort();
        }
        previous = step.line;
    }
    return 0;
}
