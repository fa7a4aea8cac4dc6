// SPDX-License-Identifier: MIT
#pragma once

#include <unistd.h>

namespace pointrelay::app {

/// Owns a POSIX file descriptor and closes it.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

} // namespace pointrelay::app
