// SPDX-License-Identifier: MIT
#include "input_factory.h"

namespace pointrelay::input {
namespace {

// Accepts every event and posts nothing: the daemon serves and logs the protocol in full
// while no window-system backend is wired in.
class DiscardingInput final : public core::InputHandler {
public:
    void injectMove(double, double) override {}
    void injectScroll(double, double) override {}
    void injectButton(bool, bool) override {}
    void handleTextMessage(int, std::string_view) override {}
};

} // namespace

std::unique_ptr<core::InputHandler> createInputHandler() {
    return std::make_unique<DiscardingInput>();
}

} // namespace pointrelay::input
