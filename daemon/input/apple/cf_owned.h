// SPDX-License-Identifier: MIT
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <utility>

namespace pointrelay::input {

/// Owns one Core Foundation reference obtained under the create or copy rule and releases it
/// when it goes; a null reference is allowed and never released.
template <typename Ref>
class CfOwned {
public:
    explicit CfOwned(Ref ref = nullptr) : m_ref(ref) {}
    ~CfOwned() {
        if (m_ref)
            CFRelease(m_ref);
    }
    CfOwned(CfOwned&& other) noexcept : m_ref(std::exchange(other.m_ref, nullptr)) {}
    CfOwned(const CfOwned&) = delete;
    CfOwned& operator=(const CfOwned&) = delete;
    CfOwned& operator=(CfOwned&&) = delete;

    Ref get() const { return m_ref; }
    explicit operator bool() const { return m_ref != nullptr; }

private:
    Ref m_ref;
};

} // namespace pointrelay::input
