// SPDX-License-Identifier: MIT
#pragma once

#include <string_view>

namespace pointrelay::core {

/// The session's one way into the input layer. Calls arrive on session threads, possibly from
/// several sessions at once; they never fail a session.
class InputHandler {
public:
    virtual ~InputHandler() = default;

    virtual void injectMove(double dx, double dy) = 0;
    virtual void injectScroll(double dx, double dy) = 0;
    virtual void injectButton(bool isLeft, bool down) = 0;
    /// A text message from a TEXT frame or an opened AEAD frame; `fd` is the session's socket,
    /// for the plain acknowledgement frames some commands send back.
    virtual void handleTextMessage(int fd, std::string_view text) = 0;
    /// A session ends: the buttons it pressed and still holds are released, so a phone that
    /// goes away mid-drag leaves no button down. Called on that session's thread; true when
    /// something was released. (Keys are pressed and released within one message.)
    virtual bool releaseHeld() { return false; }
};

} // namespace pointrelay::core
