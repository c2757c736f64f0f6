#include "Startup.h"

#include "AddressText.h"
#include "Platform.h"

#include <charconv>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

namespace startup {

bool somethingExistsAt(const std::filesystem::path& path) {
    std::error_code ec;
    auto status = std::filesystem::symlink_status(path, ec);
    return !ec && std::filesystem::exists(status);
}

std::vector<std::filesystem::path> assetPakCandidates(const std::filesystem::path& executableDir,
                                                      const std::filesystem::path& currentDir) {
    return {
        executableDir / ".." / "Resources" / "assets.pak",
        executableDir / "assets.pak",
        currentDir / "assets.pak",
        executableDir / ".." / "share" / "orvane" / "assets.pak",
    };
}

std::filesystem::path findAssetPak(const std::filesystem::path& executableDir,
                                   const std::filesystem::path& currentDir) {
    auto candidates = assetPakCandidates(executableDir, currentDir);
    for (const auto& candidate : candidates) {
        if (somethingExistsAt(candidate)) {
            return candidate;
        }
    }
    return candidates.front();
}

std::string assetPakNotFoundMessage(const std::vector<std::filesystem::path>& candidates) {
    std::string message = "Failed to open asset file: " + candidates.front().string() + "\nLooked for it at:";
    for (const auto& candidate : candidates) {
        message += "\n  " + candidate.string();
    }
    return message;
}

bool applyDriverEnvironment(const std::filesystem::path& executableDir) {
    std::filesystem::path icd = executableDir / ".." / "Resources" / "vulkan" / "icd.d" / "MoltenVK_icd.json";
    std::error_code ec;
    auto canonical = std::filesystem::weakly_canonical(icd, ec);
    if (!ec) {
        icd = canonical;
    }
    if (!somethingExistsAt(icd)) {
        return false;
    }
    const std::string value = icd.string();
    platform::setEnvironment("VK_ICD_FILENAMES", value, true);
    platform::setEnvironment("VK_DRIVER_FILES", value, true);
    platform::setEnvironment("MVK_CONFIG_API_VERSION_TO_ADVERTISE", "12", false);
    return true;
}

std::string usageText() {
    return "usage: orvane [--unconnected] [--verbose] [ADDRESS [PORT]]\n"
           "\n"
           "Opens the Orvane window with the controller's address and port filled in; nothing connects\n"
           "until Connect is clicked. ADDRESS is HOST, HOST:PORT or HOST/SLOT (a controller in that\n"
           "backplane slot behind the module at HOST); PORT is 44818 unless given.\n"
           "\n"
           "  --unconnected  send every request as an unconnected message\n"
           "  --verbose      log every level (trace and debug too) on the terminal\n"
           "  --version      print the version and exit\n"
           "  -h, --help     print this help and exit\n";
}

Arguments parseArguments(int argc, const char* const* argv) {
    Arguments args;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string word(argv[i]);
        if (word == "--unconnected") {
            args.unconnected = true;
        } else if (word == "--help" || word == "-h") {
            args.help = true;
        } else if (word == "--version") {
            args.version = true;
        } else if (word == "--verbose") {
            args.verbose = true;
        } else if (word.size() > 1 && word[0] == '-') {
            args.error = "unknown option '" + word + "'";
            return args;
        } else {
            positional.emplace_back(argv[i]);
        }
    }
    if (positional.size() > 2) {
        args.error = "too many arguments";
        return args;
    }
    if (!positional.empty()) {
        // HOST, HOST:PORT or HOST/SLOT, as the address field takes it; the field keeps the text.
        ControllerAddress parsed;
        args.error = parseControllerAddress(positional[0], 44818, &parsed);
        if (!args.error.empty()) {
            return args;
        }
        args.address = positional[0];
        if (parsed.portGiven) {
            args.port = static_cast<int>(parsed.port);
        }
    }
    if (positional.size() > 1) {
        const std::string& text = positional[1];
        int value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 1 ||
            value > 65535) {
            args.error = "port must be a number from 1 to 65535: " + text;
            return args;
        }
        args.port = value;
    }
    return args;
}

} // namespace startup
