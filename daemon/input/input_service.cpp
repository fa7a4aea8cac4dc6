// SPDX-License-Identifier: MIT
#include "input_service.h"

namespace pointrelay::input {

InputService::InputService(std::unique_ptr<EventSink> sink, std::unique_ptr<AccessibilityPort> ax,
                           std::unique_ptr<Timing> timing)
    : m_sink(std::move(sink)), m_ax(std::move(ax)), m_timing(std::move(timing)),
      m_pointer(*m_sink, *m_timing), m_keyboard(*m_sink, *m_timing),
      m_focus(*m_ax, m_pointer, m_keyboard, *m_timing),
      m_system(*m_sink, *m_timing, m_keyboard, [this] { m_focus.toggleFocusMode(); }),
      m_commands(m_pointer, m_keyboard, m_system, *m_timing) {}

} // namespace pointrelay::input
