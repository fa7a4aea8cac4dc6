// SPDX-License-Identifier: MIT
#pragma once

// The daemon's keys file: the devices' keys handed over without the command line (where every
// user of the machine could read them), and the daemons told to read it again.

#include <QByteArray>
#include <QString>

namespace pointrelay::app {

/// \brief $XDG_RUNTIME_DIR/pointrelay/devices, or "devices" in FilePskStore's folder where
/// there is no runtime folder.
QString keysFilePath();

/// \brief Replaces the file in one step, owner-only (0600) in an owner-only folder (0700).
bool writeKeysFile(const QString& path, const QByteArray& text);

/// \brief Sends SIGHUP to every process of this user started with "--keys-file `path`" (a
/// daemon that the tray or a `pointrelay serve` supervises); returns how many were told.
int reloadKeysReaders(const QString& path);

} // namespace pointrelay::app
