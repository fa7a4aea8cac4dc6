// SPDX-License-Identifier: MIT
#pragma once

#include <QRect>
#include <QWidget>

class QLabel;
class QPushButton;

namespace pointrelay::app {

class AppState;

/// The status popup under the tray icon: whether the daemon runs, the host and port the phone
/// should use, the connected clients and the devices in control, and Start/Stop, settings, quit
/// and adding a device. A frameless
/// `Qt::Popup` that closes on a click outside it; it follows the model live while open and
/// keeps no state of its own, so its owner builds a new one for every opening.
class StatusPopoverView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 280;

    /// `showDiagnostics` adds the move and scroll rates under the client count.
    StatusPopoverView(AppState& state, bool showDiagnostics, QWidget* parent = nullptr);

    /// The tray icon's screen rectangle: a click there closes the popup without being passed
    /// on to the icon, which would open the popup again at once.
    void setAnchor(const QRect& globalRect) { m_anchor = globalRect; }

signals:
    /// "終了" was pressed (after a running daemon was stopped): the application should quit.
    void quitRequested();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();
    void openSettings();
    void quit();
    void addDevice();

    AppState& m_state;
    const bool m_showDiagnostics;
    QRect m_anchor;

    QWidget* m_indicator = nullptr;
    QLabel* m_status = nullptr;
    QLabel* m_host = nullptr;
    QLabel* m_port = nullptr;
    QLabel* m_clients = nullptr;
    QLabel* m_diagnostics = nullptr;
    QLabel* m_control = nullptr;
    QPushButton* m_startStop = nullptr;
};

} // namespace pointrelay::app
