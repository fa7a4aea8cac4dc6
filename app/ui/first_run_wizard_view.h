// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>
#include <QSize>
#include <QWidget>

class QLabel;
class QPushButton;
class QShortcut;
class QStackedWidget;

namespace pointrelay::app {

class Alerts;
class AppState;

Q_DECLARE_LOGGING_CATEGORY(lcWizard)

/// The first-run wizard's content: three pages (what the desktop needs for input: the
/// accessibility permission on macOS, the input route elsewhere; port and key; the pairing code)
/// with "戻る", "次へ" and, on the last page, "完了" (also on Return). The page lives only in the
/// view; the wizard starts no daemon and saves no settings.
class FirstRunWizardView : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize kSize{520, 360};

    FirstRunWizardView(AppState& state, Alerts& alerts, QWidget* parent = nullptr);

    /// \brief The current page: 0, 1, or 2 (2 or more show the last page).
    int step() const { return m_step; }

    /// \brief "重複チェック": whether the port is free now, with the port in plain digits.
    void checkPortAvailability();
    /// \brief "再生成": a new key, shown here and through the model's masked key. No notice,
    /// and a running daemon keeps its old key.
    void regenerateKey();
    /// \brief "QR を表示": one more window with the pairing code.
    void openQRWindow();

private:
    void setStep(int step);
    void showKey();

    AppState& m_state;
    Alerts& m_alerts;
    int m_step = 0;
    QStackedWidget* m_pages;
    QLabel* m_permissionNote = nullptr;
    QLabel* m_port;
    QLabel* m_maskedKey;
    QPushButton* m_back;
    QPushButton* m_next;
    QPushButton* m_finish;
    QPushButton* m_start;
    QShortcut* m_startOnReturn;
    QShortcut* m_startOnEnter;
};

} // namespace pointrelay::app
