// SPDX-License-Identifier: MIT
#pragma once

// The pairing QR code as the user scans it: the code with the address and key hint lines
// (QRSheetContent), and around it a 30-second countdown that closes the sheet and a close
// button (QRSheet). The settings form shows it as a sheet of its window, the first-run wizard
// in windows of their own.

#include <QLoggingCategory>
#include <QTimer>
#include <QWidget>
#include <memory>

class QDialog;
class QLabel;
class QPushButton;

namespace pointrelay::app {

class AppState;

Q_DECLARE_LOGGING_CATEGORY(lcQrSheet)

/// The source of the countdown's ticks, one a second while running. Tests give a sheet their
/// own to drive the countdown by hand.
class CountdownClock : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;

signals:
    void tick();
};

/// Ticks from a repeating one-second timer on the GUI thread.
class TimerCountdownClock final : public CountdownClock {
    Q_OBJECT
public:
    explicit TimerCountdownClock(QObject* parent = nullptr);
    void start() override { m_timer.start(); }
    void stop() override { m_timer.stop(); }
    bool isActive() const override { return m_timer.isActive(); }

private:
    QTimer m_timer;
};

/// The device being paired, its code and the two hint lines, rebuilt from the model's port and
/// the device's key whenever
/// it is shown and whenever the port or the key changes; nothing is cached. With the browser
/// remote on, the page's code and address stand beside them.
class QRSheetContent : public QWidget {
    Q_OBJECT
public:
    static constexpr int kImageSide = 220;

    explicit QRSheetContent(AppState& state, QWidget* parent = nullptr);

    /// \brief Builds the payload and the code again and shows them.
    void refresh();
    /// \brief The JSON text the code shown now carries (empty when it could not be made).
    QByteArray shownPayload() const { return m_payload; }
    /// \brief The page address the second code carries (empty when none is shown).
    QString shownWebUrl() const { return m_webUrl; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    AppState& m_state;
    QByteArray m_payload;
    QLabel* m_image;
    QLabel* m_failure;
    QLabel* m_device;
    QLabel* m_address;
    QLabel* m_keyHint;
    QString m_webUrl;
    QWidget* m_web;
    QLabel* m_webImage;
    QLabel* m_webAddress;
};

/// The content, the line "自動で閉じます: Ns" counting down from 30 while the sheet is on
/// screen, and "閉じる". Both end in `dismissed()`, which the host answers by closing.
class QRSheet : public QWidget {
    Q_OBJECT
public:
    static constexpr int kInitialSeconds = 30;
    static constexpr int kWidth = 300;

    explicit QRSheet(AppState& state, QWidget* parent = nullptr);

    int seconds() const { return m_seconds; }
    QRSheetContent* content() const { return m_content; }
    CountdownClock& clock() const { return *m_clock; }
    /// \brief Replaces the source of the ticks; it runs at once when the sheet is on screen.
    void setClock(std::unique_ptr<CountdownClock> clock);

    /// \brief The sheet as a window-modal sheet of `parent`'s window; deleted once closed.
    static QDialog* showSheet(AppState& state, QWidget* parent);
    /// \brief The sheet in a window of its own, "接続用 QR"; deleted once closed.
    static QWidget* showWindow(AppState& state);

public slots:
    /// \brief Stops the countdown and asks the host to close (once).
    void dismiss();

signals:
    void dismissed();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void tick();
    void showSeconds();

    int m_seconds = kInitialSeconds;
    bool m_dismissed = false;
    CountdownClock* m_clock = nullptr; // owned as a child
    QRSheetContent* m_content;
    QLabel* m_countdown;
    QPushButton* m_close;
};

} // namespace pointrelay::app
