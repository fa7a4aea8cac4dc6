// SPDX-License-Identifier: MIT
#include "message_box_alerts.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>

namespace pointrelay::app {

Q_LOGGING_CATEGORY(lcAlerts, "pointrelay.app.alerts")

namespace {

// A box without a parent is modal to the whole application, as the alerts of a tray program
// must be: there may be no window of ours on screen. The title is the program's name, since
// most window managers show one.
void prepare(QMessageBox& box, QMessageBox::Icon icon, const QString& message,
             const QString& informative) {
    box.setIcon(icon);
    box.setWindowTitle(QGuiApplication::applicationDisplayName());
    box.setText(message);
    box.setInformativeText(informative);
    box.setWindowModality(Qt::ApplicationModal);
}

QPushButton* addOkButton(QMessageBox& box) {
    QPushButton* ok = box.addButton(MessageBoxAlerts::tr("OK"), QMessageBox::AcceptRole);
    ok->setObjectName(QStringLiteral("okButton"));
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    return ok;
}

// A transient popup keeps the pointer and keyboard grabbed; a modal box opened from one of
// its buttons could then not be answered. Hide it (its owner deletes it later).
void hidePopups() {
    while (QWidget* popup = QApplication::activePopupWidget()) {
        popup->close();
        if (QApplication::activePopupWidget() == popup)
            popup->hide(); // it refused to close
    }
}

void run(QMessageBox& box) {
    hidePopups();
    qCInfo(lcAlerts).noquote() << "alert:" << box.text();
    box.exec();
}

void showBox(QMessageBox::Icon icon, const QString& message, const QString& informative) {
    QMessageBox box;
    prepare(box, icon, message, informative);
    addOkButton(box);
    run(box);
}

} // namespace

void MessageBoxAlerts::critical(const QString& message, const QString& informative) {
    showBox(QMessageBox::Critical, message, informative);
}

void MessageBoxAlerts::information(const QString& message, const QString& informative) {
    showBox(QMessageBox::Information, message, informative);
}

void MessageBoxAlerts::notify(const QString& title, const QString& message) {
    qCInfo(lcAlerts).noquote() << "notification:" << title << message;
    if (m_tray && m_tray->isVisible() && QSystemTrayIcon::supportsMessages()) {
        m_tray->showMessage(title, message, QSystemTrayIcon::Warning);
        return;
    }
    auto* box = new QMessageBox;
    prepare(*box, QMessageBox::Warning, title, message);
    box->setWindowModality(Qt::NonModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    addOkButton(*box);
    box->show();
}

std::optional<quint16> MessageBoxAlerts::askAlternativePort(quint16 port, const QString& holder,
                                                            const QList<quint16>& suggestions,
                                                            PortUse use) {
    // Port numbers are names, not quantities: plain digits, never grouped.
    const QString digits = QString::number(port);
    QMessageBox box;
    if (suggestions.isEmpty()) {
        prepare(
            box, QMessageBox::Warning,
            (use == PortUse::web ? tr("ブラウザ用のポート %1 は使用中") : tr("ポート %1 は使用中"))
                .arg(digits),
            holder);
        addOkButton(box);
        run(box);
        return std::nullopt;
    }

    prepare(box, QMessageBox::NoIcon,
            (use == PortUse::web ? tr("ブラウザ用のポート %1 は使用中です")
                                 : tr("ポート %1 は使用中です"))
                .arg(digits),
            tr("%1\n別ポートを選択してください。").arg(holder));
    QList<QAbstractButton*> portButtons;
    for (const quint16 suggestion : suggestions) {
        QPushButton* button = box.addButton(QString::number(suggestion), QMessageBox::AcceptRole);
        button->setObjectName(QStringLiteral("portButton%1").arg(suggestion));
        portButtons << button;
    }
    QPushButton* cancel = box.addButton(tr("キャンセル"), QMessageBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    box.setDefaultButton(static_cast<QPushButton*>(portButtons.first()));
    box.setEscapeButton(cancel);
    run(box);

    const qsizetype index = portButtons.indexOf(box.clickedButton());
    if (index < 0)
        return std::nullopt;
    return suggestions.at(index);
}

} // namespace pointrelay::app
