// SPDX-License-Identifier: MIT
// linewatch-routersim: plays an ISDN router's telnet console on 127.0.0.1 so the monitor can be
// developed, tested and shown without a router. Reads the command line and an optional script,
// then serves clients until it is stopped.
#include "replay.h"
#include "simscript.h"
#include "simserver.h"

#include <charconv>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kUsageError = 2;
constexpr double kMaxSpeed = 1000;

const char *const kUsage = R"(Usage: linewatch-routersim [options]

Plays the router's console over TCP on 127.0.0.1 only.

  --port N         port to listen on (default 2323; 0 picks a free port)
  --password TEXT  console password (default "1234")
  --seed N         seed of the simulated traffic (default: random, printed)
  --script FILE    scripted behaviour for tests (see tools/routersim/README.md)
  --replay FILE    play a router session capture back to every client
                   instead of simulating (see tools/routersim/README.md)
  --speed N        with --replay: the capture's gaps divided by N (default 1;
                   0 sends without waiting)
  --log-input      print every chunk received from a client as hex
  --help           show this text

Prints "listening on 127.0.0.1:PORT" once it accepts connections, then one
line per connection event ("conn N connect|login ok|login failed|screen S|
command C|input HEX|close REASON"; replaying: "replay done" and
"replay typed HEX, the capture has HEX").
)";

bool parseNumber(std::string_view text, long long low, long long high, long long &value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty() && value >= low && value <= high;
}

std::optional<double> parseSpeed(std::string_view text)
{
    double factor = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), factor);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !(factor >= 0 && factor <= kMaxSpeed))
        return std::nullopt;
    return factor;
}

int usageError(const std::string &message)
{
    std::fprintf(stderr, "linewatch-routersim: %s\n%s", message.c_str(), kUsage);
    return kUsageError;
}

void printLine(const std::string &line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    ServerOptions options;
    std::optional<std::string> password;
    std::optional<uint32_t> seed;
    std::string scriptFile;
    std::string replayFile;
    std::optional<double> speed;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        bool hasValue = false;
        if (const size_t equals = arg.find('='); arg.starts_with("--") && equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            hasValue = true;
        }
        const auto takeValue = [&]() -> bool {
            if (hasValue)
                return true;
            if (i + 1 >= argc)
                return false;
            value = argv[++i];
            return true;
        };
        long long number = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--log-input") {
            options.logInput = true;
        } else if (arg == "--port") {
            if (!takeValue() || !parseNumber(value, 0, 65535, number))
                return usageError("--port takes a number from 0 to 65535");
            options.port = static_cast<int>(number);
        } else if (arg == "--password") {
            if (!takeValue())
                return usageError("--password takes a text");
            password = std::string(value);
        } else if (arg == "--seed") {
            if (!takeValue() || !parseNumber(value, 0, UINT32_MAX, number))
                return usageError("--seed takes a number from 0 to 4294967295");
            seed = static_cast<uint32_t>(number);
        } else if (arg == "--script") {
            if (!takeValue())
                return usageError("--script takes a file name");
            scriptFile = std::string(value);
        } else if (arg == "--replay") {
            if (!takeValue())
                return usageError("--replay takes a file name");
            replayFile = std::string(value);
        } else if (arg == "--speed") {
            if (!takeValue() || !(speed = parseSpeed(value)))
                return usageError("--speed takes a number from 0 to 1000");
        } else {
            return usageError("unknown option '" + std::string(argv[i]) + "'");
        }
    }

    if (speed && replayFile.empty())
        return usageError("--speed works with --replay only");
    if (!replayFile.empty() && !scriptFile.empty())
        return usageError("--replay plays a capture; it takes no --script");
    std::shared_ptr<const std::vector<CaptureChunk>> capture;
    if (!replayFile.empty()) {
        std::ifstream in(replayFile);
        if (!in) {
            std::fprintf(stderr, "linewatch-routersim: cannot read %s\n", replayFile.c_str());
            return kUsageError;
        }
        std::vector<std::string> errors;
        capture = std::make_shared<const std::vector<CaptureChunk>>(readCapture(in, replayFile, errors));
        for (const std::string &error : errors)
            std::fprintf(stderr, "linewatch-routersim: %s\n", error.c_str());
        if (!errors.empty())
            return kUsageError;
    }

    SimScript script;
    if (!scriptFile.empty()) {
        std::ifstream in(scriptFile);
        if (!in) {
            std::fprintf(stderr, "linewatch-routersim: cannot read %s\n", scriptFile.c_str());
            return kUsageError;
        }
        std::vector<std::string> errors;
        script = parseScript(in, scriptFile, errors);
        for (const std::string &error : errors)
            std::fprintf(stderr, "linewatch-routersim: %s\n", error.c_str());
        if (!errors.empty())
            return kUsageError;
    }
    // The command line wins over the script, the script over the defaults.
    options.password = password.value_or(script.password.value_or(options.password));
    options.seed = seed.value_or(script.seed.value_or(std::random_device()()));

    std::signal(SIGPIPE, SIG_IGN);
    SimServer server(options, std::move(script), printLine);
    if (capture) {
        server.setSessionMaker([capture, factor = speed.value_or(1)](EventSink events) {
            return std::make_unique<ReplaySession>(capture, factor, std::move(events));
        });
    }
    std::string error;
    if (!server.listen(error)) {
        std::fprintf(stderr, "linewatch-routersim: %s\n", error.c_str());
        return 1;
    }
    printLine("seed " + std::to_string(options.seed));
    printLine("listening on 127.0.0.1:" + std::to_string(server.port()));
    server.run();
}
