// The answer to the change command and its judgement, for any bytes off the wire and any
// requested target. Input: byte 0 the target; byte 1 how the exchange ended (0xFC-0xFF: the link
// failed with code -4 to -1, and nothing was read); the rest is what arrived, of which the
// exchange reads at most four bytes, as renumber does.
//
// Property: "OK! Changed." and status 0 exactly when all four bytes came, the decoder accepts
// them, they are no echo of the command and their identifier is the target; every other run
// prints its own failure message.
#include "app/renumber.h"
#include "require.h"
#include "stdout_capture.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

namespace {

constexpr std::uint8_t FIRST_LINK_FAILURE = 0xFC;

// The answer frame as the motor protocol defines it, written apart from idcmd_decode.
struct Reading {
    bool accepted;
    int id;
};

Reading read_answer(const ShortFrame& answer)
{
    if (answer[0] == 0xFC && answer[1] == 6) {
        return {true, 15};
    }
    if (answer[0] == 0xFC || answer[3] == 0xBB) {
        return {true, answer[2] & 0x0F};
    }
    return {false, 0};
}

std::string format(const char* pattern, int a, int b = 0)
{
    char text[128];
    std::snprintf(text, sizeof text, pattern, a, b);
    return text;
}

} // namespace

// Standard output leaves the terminal before the first input.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    take_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    const std::uint8_t target = data[0];
    const std::span<const std::uint8_t> wire(data + 2, size - 2);
    std::int32_t answered = 0;
    ShortFrame answer{};
    if (data[1] >= FIRST_LINK_FAILURE) {
        answered = static_cast<std::int32_t>(data[1]) - 0x100;
    } else {
        answered = static_cast<std::int32_t>(std::min(wire.size(), answer.size()));
        std::copy_n(wire.begin(), answered, answer.begin());
    }

    const Verdict verdict = judge_answer(answered, answer, target);
    const Request request{.device = "/dev/ttyUSB0", .id = 0, .target_id = target};
    const std::int32_t result = report_verdict(verdict, request);
    const std::string printed = take_stdout();

    const Reading reading = read_answer(answer);
    // Bytes that begin as the command does are its echo, whole or garbled: never the motor's word.
    const bool echoed = answer[0] == 0xFB;
    const bool success = answered == 4 && reading.accepted && !echoed && reading.id == target;
    require((verdict.outcome == Outcome::changed) == success, "success judged as the wire says");
    require((result == 0) == success, "status 0 only for a change");
    require((printed.rfind("OK! Changed.", 0) == 0) == success,
            "success message only for a change");
    if (answered == 0) {
        require(verdict.outcome == Outcome::timeout, "nothing read is a timeout");
        require(printed ==
                    format("[ERROR] Modify id %d to %d failure, No motor be found(timeout).\n", 0,
                           target),
                "timeout message");
        require(result == -1, "timeout status");
        return 0;
    }
    require(verdict.reported_id == reading.id, "reported identifier is the answer's");
    if (success) {
        require(printed == format("OK! Changed. Now the motor ID:%d\n", target), "success message");
    } else if (reading.id != target || (answered == 4 && !reading.accepted) || echoed) {
        require(printed ==
                    format("[Error] The ID:%d of the feedback does not match.\n", reading.id),
                "mismatch message");
        require(result == -2, "mismatch status");
    } else {
        require(printed ==
                    "[ERROR] Error message, don't connect multiple motors at the 485 cable.\n",
                "cut-short message");
        require(result == -2, "cut-short status");
    }
    return 0;
}
