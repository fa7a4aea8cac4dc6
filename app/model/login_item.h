// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

namespace pointrelay::app {

/// Launch at login on Linux desktops: an XDG autostart entry for the application, written when
/// the choice is on and removed when it is off.
class LoginItem {
public:
    /// `autostartDir` is the folder desktops read ($XDG_CONFIG_HOME/autostart when empty);
    /// `executable` the program to start (this program when empty).
    explicit LoginItem(QString autostartDir = {}, QString executable = {});

    /// \brief Writes or removes the entry; false when the folder or file cannot be changed.
    bool apply(bool enabled) const;
    bool isInstalled() const;
    QString entryPath() const;

private:
    QString m_dir;
    QString m_executable;
};

} // namespace pointrelay::app
