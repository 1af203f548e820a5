// The argument checks and the judgement of the motor's answer, without a device.
#include "app/renumber.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct ArgumentCase {
    std::vector<const char*> args; // after the program name
    ArgumentCheck expected;
    std::uint8_t id = 0;
    std::uint8_t target_id = 0;
};

TEST(CheckArguments, StrictIdentifiersInOperatorOrder)
{
    const char* const dev = "/dev/ttyUSB0";
    const ArgumentCase cases[] = {
        {{dev, "0"}, ArgumentCheck::usage},
        {{dev, "0", "1", "KV-R2730-4", "x"}, ArgumentCheck::usage},
        {{dev, "0", "1"}, ArgumentCheck::run, 0, 1},
        {{dev, "15", "14", "KV-R2730-4"}, ArgumentCheck::run, 15, 14},
        {{dev, " +3", "007"}, ArgumentCheck::run, 3, 7},
        {{dev, "0", "15"}, ArgumentCheck::target_is_broadcast},
        // Anything that strtol would wrap onto another motor is refused.
        {{dev, "0", "16"}, ArgumentCheck::id_out_of_range},
        {{dev, "0", "257"}, ArgumentCheck::id_out_of_range},
        {{dev, "0", "271"}, ArgumentCheck::id_out_of_range},
        {{dev, "0", "-1"}, ArgumentCheck::id_out_of_range},
        {{dev, "0", "-0"}, ArgumentCheck::id_out_of_range},
        {{dev, "0", "1x"}, ArgumentCheck::id_out_of_range},
        {{dev, "0", "x"}, ArgumentCheck::id_out_of_range},
        {{dev, "0", ""}, ArgumentCheck::id_out_of_range},
        {{dev, "0", "1 "}, ArgumentCheck::id_out_of_range},
        {{dev, "0", "+ 1"}, ArgumentCheck::id_out_of_range},
        {{dev, "0", "0x1"}, ArgumentCheck::id_out_of_range},
        {{dev, "0", "99999999999999999999999"}, ArgumentCheck::id_out_of_range},
        {{dev, "16", "1"}, ArgumentCheck::id_out_of_range},
        {{dev, "256", "1"}, ArgumentCheck::id_out_of_range},
        // More signs, white space, leading zeros, huge values and other notations.
        {{dev, "0", "+-1"}, ArgumentCheck::id_out_of_range},
        {{dev, "0", " \t"}, ArgumentCheck::id_out_of_range},
        {{dev, "0", "0016"}, ArgumentCheck::id_out_of_range},
        {{dev, "0", "000000000000000000000000015"}, ArgumentCheck::target_is_broadcast},
        {{dev, "0", "18446744073709551617"}, ArgumentCheck::id_out_of_range}, // 2^64 + 1
        {{dev, "4294967297", "1"}, ArgumentCheck::id_out_of_range},           // 2^32 + 1
        {{dev, "0", "9223372036854775808"}, ArgumentCheck::id_out_of_range},  // 2^63
        {{dev, "-9223372036854775809", "1"}, ArgumentCheck::id_out_of_range}, // -(2^63) - 1
        {{dev, "0", "A"}, ArgumentCheck::id_out_of_range},
        {{dev, "0", "1e1"}, ArgumentCheck::id_out_of_range},
        {{dev, "0", "\xEF\xBC\x91"}, ArgumentCheck::id_out_of_range}, // FULLWIDTH DIGIT ONE
        // The model's name whole and exact: no prefix, no other case, no white space.
        {{dev, "0", "1", "kv-r2730-4"}, ArgumentCheck::unknown_model},
        {{dev, "0", "1", ""}, ArgumentCheck::unknown_model},
        {{dev, "0", "1", "KV-R2730-"}, ArgumentCheck::unknown_model},
        {{dev, "0", "1", "KV-R2730-40"}, ArgumentCheck::unknown_model},
        {{dev, "0", "1", " KV-R2730-4"}, ArgumentCheck::unknown_model},
        {{dev, "0", "1", "KV-R2730-4\n"}, ArgumentCheck::unknown_model},
        // The target is checked first, then the present id, then the model.
        {{dev, "99", "15", "other"}, ArgumentCheck::target_is_broadcast},
        {{dev, "99", "1", "other"}, ArgumentCheck::id_out_of_range},
        {{dev, "1", "x", "other"}, ArgumentCheck::id_out_of_range},
        {{dev, "-1", "15", "%n"}, ArgumentCheck::target_is_broadcast},
    };
    for (const ArgumentCase& c : cases) {
        std::vector<const char*> argv{"renumber"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Request request{};
        EXPECT_EQ(check_arguments(argv, request), c.expected) << testing::PrintToString(c.args);
        if (c.expected == ArgumentCheck::run) {
            EXPECT_STREQ(request.device, dev);
            EXPECT_EQ(request.id, c.id);
            EXPECT_EQ(request.target_id, c.target_id);
        } else {
            EXPECT_EQ(request.device, nullptr);
        }
    }
}

struct JudgementCase {
    std::int32_t answered;
    ShortFrame answer;
    std::uint8_t target_id;
    Outcome outcome;
    std::uint8_t reported_id;
};

TEST(JudgeAnswer, ByLengthAndDecodedIdentifier)
{
    const JudgementCase cases[] = {
        {0, {}, 1, Outcome::timeout, 0},
        {0, {0xFC, 0x01, 0x01, 0xBB}, 1, Outcome::timeout, 0},
        {4, {0xFC, 0x01, 0x01, 0xBB}, 1, Outcome::changed, 1},
        // Only the decoded identifier is compared.
        {4, {0xFC, 0x05, 0x01, 0xBB}, 1, Outcome::changed, 1},
        {4, {0xFC, 0x01, 0x21, 0xBB}, 1, Outcome::changed, 1},
        {4, {0x00, 0x01, 0x01, 0xBB}, 1, Outcome::changed, 1},
        {4, {0xFC, 0x01, 0x02, 0xBB}, 1, Outcome::mismatch, 2},
        {4, {0xFC, 0x06, 0x00, 0x01}, 1, Outcome::mismatch, 15},
        {4, {0xFC, 0x06, 0xFF, 0xFF}, 14, Outcome::mismatch, 15},
        {2, {0xFC, 0x01, 0x00, 0x00}, 1, Outcome::mismatch, 0},
        {2, {0xFC, 0x01, 0x00, 0x00}, 0, Outcome::incomplete, 0},
        {3, {0xFC, 0x01, 0x05, 0x00}, 5, Outcome::incomplete, 5},
        // Four bytes that are no motor answer decode to 0 but never pass as a change to 0.
        {4, {0x00, 0x00, 0x00, 0x00}, 0, Outcome::mismatch, 0},
        {4, {0x12, 0x34, 0x56, 0x78}, 0, Outcome::mismatch, 0},
        // The command's own bytes, garbled on the way back by an adapter that echoes, are no
        // answer even where the decoder reads the target in them.
        {4, {0xFB, 0x01, 0x11, 0xBB}, 1, Outcome::mismatch, 1},
        {2, {0xFB, 0x01, 0x00, 0x00}, 0, Outcome::mismatch, 0},
        // A failed link leaves the buffer zero.
        {-2, {}, 0, Outcome::incomplete, 0},
        {-1, {}, 4, Outcome::mismatch, 0},
        {2, {}, 0, Outcome::incomplete, 0},
    };
    for (const JudgementCase& c : cases) {
        const Verdict verdict = judge_answer(c.answered, c.answer, c.target_id);
        EXPECT_EQ(verdict.outcome, c.outcome)
            << c.answered << " bytes " << testing::PrintToString(c.answer) << " target "
            << int(c.target_id);
        EXPECT_EQ(verdict.reported_id, c.reported_id) << testing::PrintToString(c.answer);
    }
}

struct ReportCase {
    Verdict verdict;
    const char* message;
    std::int32_t result;
};

TEST(ReportVerdict, MessagesAndResults)
{
    const Request request{.device = "/dev/ttyUSB0", .id = 15, .target_id = 3};
    const ReportCase cases[] = {
        {{Outcome::timeout, 0},
         "[ERROR] Modify id 15 to 3 failure, No motor be found(timeout).\n",
         -1},
        {{Outcome::mismatch, 7}, "[Error] The ID:7 of the feedback does not match.\n", -2},
        {{Outcome::changed, 3}, "OK! Changed. Now the motor ID:3\n", 0},
        // A run that prints [ERROR] never ends with status 0.
        {{Outcome::incomplete, 3},
         "[ERROR] Error message, don't connect multiple motors at the 485 cable.\n",
         -2},
    };
    for (const ReportCase& c : cases) {
        testing::internal::CaptureStdout();
        const std::int32_t result = report_verdict(c.verdict, request);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
        EXPECT_EQ(result, c.result);
    }
}

} // namespace
