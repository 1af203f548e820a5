// The command-line checks over any argument vector. Input: the arguments after the program
// name, separated by NUL bytes (at most 16 are taken).
//
// Properties: check_arguments agrees with a reference written here from the rules (count,
// target, present id, motor type, in that order; identifiers are whole decimal numbers 0-15
// with optional leading white space and "+"); a rejected vector gets its message and status
// from renumber_main without any call into the serial library, whose lookup and open are
// replaced here by traps.
#include "app/renumber.h"
#include "require.h"
#include "stdout_capture.h"

#include <libserialport.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t MAX_ARGUMENTS = 16;

[[noreturn]] void device_touched(const char* call)
{
    std::fprintf(stderr, "%s called for an argument vector that failed its checks\n", call);
    std::abort();
}

// A motor identifier by the rules, digit by digit; -1 when the text is not one.
int reference_id(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) != 0) {
        ++i;
    }
    if (i < text.size() && text[i] == '+') {
        ++i;
    }
    if (i == text.size()) {
        return -1;
    }
    int value = 0;
    for (; i < text.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(text[i])) == 0) {
            return -1;
        }
        value = std::min(value * 10 + (text[i] - '0'), 100); // anything above 15 is out
    }
    return value <= 15 ? value : -1;
}

ArgumentCheck reference_check(const std::vector<std::string>& args)
{
    if (args.size() != 4 && args.size() != 5) {
        return ArgumentCheck::usage;
    }
    const int target = reference_id(args[3]);
    if (target < 0) {
        return ArgumentCheck::id_out_of_range;
    }
    if (target == 15) {
        return ArgumentCheck::target_is_broadcast;
    }
    if (reference_id(args[2]) < 0) {
        return ArgumentCheck::id_out_of_range;
    }
    if (args.size() == 5 && args[4] != "KV-R2730-4") {
        return ArgumentCheck::unknown_model;
    }
    return ArgumentCheck::run;
}

} // namespace

// The serial link's way to a device: reaching either here fails the run.
extern "C" sp_return sp_get_port_by_name(const char* /*portname*/, sp_port** /*port_ptr*/)
{
    device_touched("sp_get_port_by_name");
}

extern "C" sp_return sp_open(sp_port* /*port*/, sp_mode /*flags*/)
{
    device_touched("sp_open");
}

// Standard output leaves the terminal before the first input.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    take_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> args{"renumber"};
    if (size > 0) {
        const std::string input(reinterpret_cast<const char*>(data), size);
        std::size_t begin = 0;
        while (args.size() <= MAX_ARGUMENTS) {
            const std::size_t end = input.find('\0', begin);
            args.push_back(input.substr(begin, end - begin));
            if (end == std::string::npos) {
                break;
            }
            begin = end + 1;
        }
    }
    std::vector<const char*> argv;
    argv.reserve(args.size());
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }

    Request request{};
    const ArgumentCheck check = check_arguments(argv, request);
    require(check == reference_check(args), "check_arguments agrees with the rules");
    if (check == ArgumentCheck::run) {
        require(request.device == argv[1], "the device is the first argument");
        require(request.id == reference_id(args[2]), "present identifier");
        require(request.target_id == reference_id(args[3]), "target identifier");
        return 0;
    }
    require(request.device == nullptr, "no request from a rejected vector");

    const int status = renumber_main(static_cast<int>(argv.size()), argv.data());
    const std::string printed = take_stdout();
    switch (check) {
    case ArgumentCheck::usage:
        require(status == 0 && printed.rfind("Motor ID change tool.\n", 0) == 0, "usage");
        break;
    case ArgumentCheck::id_out_of_range:
        require(status == -1 && printed == "Motor id must be in the range 0-15.\n", "range");
        break;
    case ArgumentCheck::target_is_broadcast:
        require(status == -1 && printed == "Target motor id must be in the range 0-14.\n",
                "broadcast target");
        break;
    case ArgumentCheck::unknown_model:
        require(status == -3 && printed == "Unknow motor type: " + args[4] + "\n", "motor type");
        break;
    case ArgumentCheck::run:
        break;
    }
    return 0;
}
