#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Start-up helpers that need no window: where the asset pak is looked for and the graphics driver
// environment of an application bundle.
namespace startup {

// Where assets.pak is looked for, in order: inside the application bundle (<exe>/../Resources), beside
// the executable, in the current directory, then where an installed program keeps its data
// (<exe>/../share/orvane, so /usr/share/orvane for /usr/bin/orvane). The paths are not normalised.
std::vector<std::filesystem::path> assetPakCandidates(const std::filesystem::path& executableDir,
                                                      const std::filesystem::path& currentDir);

// The first candidate at which something exists (any file type); the first candidate when none does,
// so that the failure to open it names the bundle location.
std::filesystem::path findAssetPak(const std::filesystem::path& executableDir,
                                   const std::filesystem::path& currentDir);

// The start-up error when no candidate exists: "Failed to open asset file: " and the first candidate
// (what opening it would say), then one line per candidate, in search order.
std::string assetPakNotFoundMessage(const std::vector<std::filesystem::path>& candidates);

// When the bundle carries a Vulkan driver description (<exe>/../Resources/vulkan/icd.d/MoltenVK_icd.json),
// points VK_ICD_FILENAMES and VK_DRIVER_FILES at it (replacing any value) and sets
// MVK_CONFIG_API_VERSION_TO_ADVERTISE to "12" unless it is set already. Without the file the environment
// is left alone. Returns whether the file was found.
bool applyDriverEnvironment(const std::filesystem::path& executableDir);

// Whether something exists at `path`, whatever its type (a dangling link counts). Never throws.
bool somethingExistsAt(const std::filesystem::path& path);

// What the command line pre-fills: `orvane [--unconnected] [ADDRESS [PORT]]`. Nothing connects by
// itself; --unconnected makes every connect use unconnected messaging only.
struct Arguments {
    std::string address; // empty: the field starts empty
    int port = 44818;
    bool unconnected = false;
    bool help = false;    // --help or -h: print usageText() and exit
    bool version = false; // --version: print the version and exit
    bool verbose = false; // --verbose: trace and debug lines are logged too
    std::string error; // not empty: the arguments were refused, with this reason
};
// The text of orvane --help.
std::string usageText();
// Takes the options (--unconnected, --verbose, --help, --version) wherever they stand, refuses other
// words starting with '-', then reads the first other argument (address) and the
// second (port, a decimal number 1-65535); more arguments are refused.
Arguments parseArguments(int argc, const char* const* argv);

} // namespace startup
