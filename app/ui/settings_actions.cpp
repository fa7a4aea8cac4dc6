// SPDX-License-Identifier: MIT
#include "settings_actions.h"

#include "model/alerts.h"
#include "model/app_state.h"
#include "model/port_check.h"
#include "model/server_process_manager.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <chrono>

namespace pointrelay::app {

Q_LOGGING_CATEGORY(lcSettings, "pointrelay.app.settings")

namespace {

constexpr auto kPortReleaseWait = std::chrono::duration<double>(1.0);

QString text(PortCheckTexts texts, const char* source) {
    return texts == PortCheckTexts::translated
               ? QCoreApplication::translate("SettingsRootView", source)
               : QString::fromUtf8(source);
}

} // namespace

void checkPortAvailability(const AppState& state, Alerts& alerts, PortCheckTexts texts) {
    const quint16 port = state.port();
    const QString digits = QString::number(port); // a port is a name, not a quantity
    const PortCheck& ports = state.portCheck();
    if (ports.canBindPort(port)) {
        alerts.information(
            text(texts, QT_TRANSLATE_NOOP("SettingsRootView", "利用可能")),
            text(texts, QT_TRANSLATE_NOOP("SettingsRootView", "ポート %1 は利用可能です。"))
                .arg(digits));
        return;
    }
    const QString holder = ports.describeListener(port).value_or(
        text(texts, QT_TRANSLATE_NOOP("SettingsRootView", "不明なプロセス")));
    qCInfo(lcSettings) << "port" << port << "is in use:" << holder;
    // One substitution pass, so that a "%1" in the holder's description stays as it is.
    alerts.critical(
        text(texts, QT_TRANSLATE_NOOP("SettingsRootView", "使用中")),
        text(texts, QT_TRANSLATE_NOOP("SettingsRootView", "ポート %1 は使用中です。\n例: %2"))
            .arg(digits, holder));
}

void startOrStopDaemon(AppState& state) {
    if (!state.running()) {
        state.start();
        return;
    }
    ServerProcessManager& manager = state.processManager();
    manager.stop();
    // The stop has been published as a queued report; show the stopped daemon right away.
    state.applyState(manager.state());
    state.portCheck().waitForPortFree(state.port(), kPortReleaseWait);
}

std::optional<QUrl> accessibilitySettingsUrl() {
#ifdef Q_OS_MACOS
    const QUrl url(QStringLiteral(
        "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility"));
    if (url.isValid())
        return url;
#endif
    return std::nullopt;
}

void openAccessibilitySettings() {
    const std::optional<QUrl> url = accessibilitySettingsUrl();
    if (!url) {
        qCDebug(lcSettings) << "no accessibility settings to open on this platform";
        return;
    }
    if (!QDesktopServices::openUrl(*url))
        qCWarning(lcSettings) << "could not open" << url->toString();
}

} // namespace pointrelay::app
