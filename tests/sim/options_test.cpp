// motor-sim's command line: every fault value is read whole or refused with a message, never
// taken as 0, as are options that cannot go together; the help text and the manual name the same
// options.
#include "options.hpp"
#include "support/sim_run.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

struct Parsed {
    sim::ParseOutcome outcome;
    sim::Options options;
    std::string message;
};

Parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "motor-sim");
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    Parsed parsed{};
    parsed.outcome = sim::options_parse(static_cast<int>(args.size()), argv.data(), parsed.options,
                                        parsed.message);
    return parsed;
}

struct RefusalCase {
    std::vector<std::string> args;
    std::string message;
};

TEST(MotorSimOptions, MalformedValuesAreRefused)
{
    const std::string write_limit = "--write-limit needs a byte count from 0 to 1048576";
    const std::string hangup = "--hangup-after needs a frame count from 0 to 1000000, or N:MS "
                               "with N from 1 and milliseconds from 0 to 3600000";
    const std::string hangup_read = "--hangup-after-read needs a byte count from 1 to 1000000";
    const std::string tap =
        "--tap runs against the real device: motors and adapter faults do not apply";
    const RefusalCase cases[] = {
        {{"--write-limit", "abc"}, write_limit},
        {{"--write-limit", "5x"}, write_limit},
        {{"--write-limit", ""}, write_limit},
        {{"--write-limit", "-1"}, write_limit},
        {{"--write-limit", "+5"}, write_limit},
        {{"--write-limit", " 5"}, write_limit},
        {{"--write-limit", "1048577"}, write_limit},
        {{"--write-limit", "18446744073709551617"}, write_limit},
        {{"--hangup-after", "0:500"}, hangup},
        {{"--hangup-after", "3:"}, hangup},
        {{"--hangup-after", "3:5x"}, hangup},
        {{"--hangup-after-read", "0"}, hangup_read},
        {{"--motor", "0:delay=5x"},
         "--motor '0:delay=5x': delay needs milliseconds from 0 to 3600000"},
        {{"--motor", "0:control-delay=0.5"},
         "--motor '0:control-delay=0.5': control-delay needs milliseconds from 0 to 3600000"},
        {{"--motor", "0:reply-id=16"},
         "--motor '0:reply-id=16': reply-id needs an identifier from 0 to 15"},
        {{"--motor", "0:truncate=abc"},
         "--motor '0:truncate=abc': truncate needs a byte count from 0 to 4096"},
        {{"--motor", "0:reply=F"},
         "--motor '0:reply=F': reply needs bytes in hexadecimal, two digits each (e.g. FC0501BB)"},
        {{"--motor", "0:extra=GG"},
         "--motor '0:extra=GG': extra needs bytes in hexadecimal, two digits each (e.g. FC0501BB)"},
        {{"--motor", "0:delay"}, "--motor '0:delay': unknown fault 'delay'"},
        {{"--motor", "0:silent=1"}, "--motor '0:silent=1': unknown fault 'silent=1'"},
        {{"--motor", "0:"}, "--motor '0:': unknown fault ''"},
        {{"--motor", "15"}, "--motor '15': identifier must be a number from 0 to 14"},
        {{"--trace", "json"}, "--trace must be 'human' or 'lines'"},
        {{"--trace-file", ""}, "--trace-file needs a path"},
        {{"--device", ""}, "--device needs a path such as /dev/ttyUSB0"},
        {{"--device", "/dev/tty USB0"}, "--device must not contain white space"},
        {{"--no-motor", "--motor", "0"}, "--no-motor and --motor exclude each other"},
        {{"--record", "x.rec"}, "--record needs --tap"},
        {{"--tap", "--motor", "0"}, tap},
        {{"--tap", "--refuse-open"}, tap},
        {{"--tap", "--replay", "x.rec"}, "--tap and --replay exclude each other"},
        {{"--replay", "x.rec", "--no-motor"},
         "--replay plays the recorded motor: --motor and --no-motor do not apply"},
        {{"--substitute-baud", "0"}, "--substitute-baud needs a rate from 1 to 100000000"},
        {{"--serve", "/dev/ttyGS0", "--stall-drain"},
         "--serve puts the motors on a real line: only --motor, --no-motor and the trace options "
         "apply"},
        {{"--write-limit"}, "option '--write-limit' needs a value"},
        {{"--delay", "5"}, "unknown option '--delay'"},
    };
    for (const RefusalCase& c : cases) {
        const Parsed parsed = parse(c.args);
        EXPECT_EQ(parsed.outcome, sim::ParseOutcome::error) << testing::PrintToString(c.args);
        EXPECT_EQ(parsed.message, c.message) << testing::PrintToString(c.args);
    }
}

TEST(MotorSimOptions, WellFormedValuesAreReadWhole)
{
    const Parsed parsed = parse({"--write-limit", "0", "--substitute-baud", "9600", "--stall-drain",
                                 "--hangup-after-read", "36", "--hangup-after", "3:2000", "--motor",
                                 "3:delay=3200,reply=fc0501bb,truncate=2,extra=00", "--motor", "5",
                                 "--", "cmd", "--motor"});
    ASSERT_EQ(parsed.outcome, sim::ParseOutcome::run) << parsed.message;
    EXPECT_EQ(parsed.options.hangup_after_read, 36U);
    EXPECT_EQ(parsed.options.hangup_after, 3U);
    EXPECT_EQ(parsed.options.hangup_delay_ms, 2000U);
    ASSERT_EQ(parsed.options.motors.size(), 2U);
    const sim::MotorFaults& faults = parsed.options.motors[0].faults;
    EXPECT_EQ(parsed.options.motors[0].id, 3);
    EXPECT_EQ(faults.delay_ms, 3200U);
    EXPECT_EQ(faults.reply, (sim::Bytes{0xFC, 0x05, 0x01, 0xBB}));
    EXPECT_EQ(faults.truncate, 2U);
    EXPECT_EQ(faults.extra, sim::Bytes{0x00});
    EXPECT_EQ(parsed.options.command, (std::vector<std::string>{"cmd", "--motor"}));
    EXPECT_EQ(sim::adapter_faults(parsed.options),
              "write-limit=0,substitute-baud=9600,stall-drain");
}

TEST(MotorSimOptions, OneHonestMotorByDefault)
{
    const Parsed parsed = parse({"cmd"});
    ASSERT_EQ(parsed.outcome, sim::ParseOutcome::run);
    ASSERT_EQ(parsed.options.motors.size(), 1U);
    EXPECT_EQ(parsed.options.motors[0].id, 0);
    EXPECT_FALSE(parsed.options.motors[0].faults.silent);
    EXPECT_EQ(sim::adapter_faults(parsed.options), "");
    EXPECT_EQ(parse({"--no-motor", "cmd"}).options.motors.size(), 0U);
    EXPECT_EQ(parse({"--help"}).outcome, sim::ParseOutcome::help);
}

// Every "--option" the text names; in the manual, roff escapes the dashes ("\-\-tap").
std::set<std::string> options_named(std::string text)
{
    text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
    std::set<std::string> names;
    const std::regex option(R"(--[a-z][a-z-]*)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
         it != std::sregex_iterator(); ++it) {
        names.insert(it->str());
    }
    return names;
}

TEST(MotorSimOptions, HelpAndManualNameTheSameOptions)
{
    const std::string page = read_text(MOTOR_SIM_MANUAL);
    ASSERT_FALSE(page.empty()) << MOTOR_SIM_MANUAL;
    EXPECT_EQ(options_named(sim::usage_text()), options_named(page));
}

} // namespace
