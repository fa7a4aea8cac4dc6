// SPDX-License-Identifier: MIT
// pointrelayd: lets a phone drive this desktop's pointer and keyboard.
#include "core/counters.h"
#include "core/device_keys.h"
#include "core/log.h"
#include "core/options.h"
#include "core/replay_guard.h"
#include "core/server.h"
#include "core/state_folder.h"
#include "input/input_factory.h"

#include <cstdio>
#include <cstring>

using namespace pointrelay;

namespace {

// The key must not stay readable in /proc/PID/cmdline or ps output for other users.
void wipeArguments(char** argv, const std::vector<int>& indices) {
    for (const int i : indices)
        std::memset(argv[i], 0, std::strlen(argv[i]));
}

} // namespace

int main(int argc, char** argv) {
    core::logLine("AEAD build=ON");
    core::installSignalHandlers();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);

    auto options = core::parseCommandLine(argc, argv);
    if (!options) {
        const std::string usage = core::usageText(argc > 0 ? argv[0] : "pointrelayd");
        std::fputs(usage.c_str(), stderr);
        return 1;
    }
    wipeArguments(argv, options->pskArgIndices);
    for (const std::string& refused : options->refusedPorts)
        core::logLine("--port " + refused + " refused (1024 to 65535): port " +
                      std::to_string(options->port) + " is used");
    // `--psk "$(cat key.txt)"` with an empty or missing file gives an empty key, which would
    // let anyone on the network drive this desktop.
    if (options->hasWeakKey()) {
        core::logLine("--psk is shorter than 16 characters: not serving");
        return 1;
    }

    // Read before the daemon detaches (into "/"), and again on SIGHUP from the same place.
    std::optional<core::DeviceKeys> devices;
    if (!options->keysFile.empty()) {
        std::error_code ec;
        options->keysFile = std::filesystem::absolute(options->keysFile, ec).string();
        devices.emplace(core::stateFolder());
        if (!core::loadKeysFile(options->keysFile, *devices)) {
            core::logLine("Keys file unusable: not serving");
            return 1;
        }
        core::logLine("Keys: " + std::to_string(devices->size()) + " devices");
    }

    if (options->background && !core::daemonize()) {
        std::fputs("Failed to daemonize\n", stderr);
        return 1;
    }

    core::ReplayGuard replay(options->config.psk);
    const auto statePath = core::ReplayGuard::defaultPath();
    if (!statePath || !replay.attachFile(*statePath))
        core::logLine(core::ReplayGuard::kMemoryOnlyMessage);

    const auto input = input::createInputHandler();
    return core::runServer(*options, *input, &replay, devices ? &*devices : nullptr);
}
