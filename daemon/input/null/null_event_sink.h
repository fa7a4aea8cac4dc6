// SPDX-License-Identifier: MIT
#pragma once

#include "input/event_sink.h"

#include <memory>

namespace pointrelay::input {

/// For machines where no window system can be reached: posts nothing, so the daemon still
/// serves and logs every command. Says so once in the log when created.
std::unique_ptr<EventSink> createNullEventSink();

} // namespace pointrelay::input
