// SPDX-License-Identifier: MIT
#include "proc_accessibility.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace pointrelay::input {
namespace {

class ProcAccessibility final : public AccessibilityPort {
public:
    explicit ProcAccessibility(std::filesystem::path root) : m_root(std::move(root)) {}

    std::optional<int32_t> findProcessIdByName(std::string_view name) override {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(m_root, ec)) {
            const std::string pid = entry.path().filename().string();
            if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos)
                continue;
            std::ifstream comm(entry.path() / "comm");
            std::string processName;
            if (std::getline(comm, processName) && processName == name)
                return std::atoi(pid.c_str());
        }
        return std::nullopt;
    }
    AxElementPtr createApplication(int32_t) override { return nullptr; }
    void setMessagingTimeout(const AxElementPtr&, float) override {}
    std::optional<AxValue> copyAttribute(const AxElementPtr&, std::string_view) override {
        return std::nullopt;
    }
    int32_t performAction(const AxElementPtr&, std::string_view) override { return kUnsupported; }
    std::optional<std::vector<std::string>> copyActionNames(const AxElementPtr&) override {
        return std::nullopt;
    }
    int32_t notifyPost(std::string_view) override { return kUnsupported; }

private:
    // The status notify_post gives for a name it cannot deliver.
    static constexpr int32_t kUnsupported = 1000000;
    std::filesystem::path m_root;
};

} // namespace

std::unique_ptr<AccessibilityPort> createProcAccessibility(std::filesystem::path procRoot) {
    return std::make_unique<ProcAccessibility>(std::move(procRoot));
}

} // namespace pointrelay::input
