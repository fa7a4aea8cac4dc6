// SPDX-License-Identifier: MIT
#include "platform_texts.h"

#include "settings_actions.h"

namespace pointrelay::app {

#ifdef Q_OS_MACOS

QString PlatformTexts::securityHeader() {
    return tr("セキュリティ（PSKはMacで管理）");
}

QString PlatformTexts::permissionStep() {
    return tr("1) アクセシビリティの許可を有効にしてください。");
}

QString PlatformTexts::permissionNote(InputRoute, Place place) {
    if (place == Place::settings)
        return tr(
            "Mac をリモート操作するために、「アクセシビリティ」の許可が必要です。下のボタンから"
            "設定を開き、「Pointrelay Server」を有効にしてください。");
    return tr("Pointrelay Server は、iPhone からの操作を Mac に送信するために「アクセシビリティ」の"
              "許可が必要です。下のボタンから macOS の設定を開き、「Pointrelay Server」を有効にして"
              "ください。");
}

QString PlatformTexts::scanStep() {
    return tr("3) iPhone のアプリで QR を読み取ると、接続設定が取り込まれます。");
}

#else

QString PlatformTexts::securityHeader() {
    return tr("セキュリティ（PSKはこのコンピュータで管理）");
}

QString PlatformTexts::permissionStep() {
    return tr("1) 入力経路を確認してください。");
}

QString PlatformTexts::permissionNote(InputRoute route, Place) {
    switch (route) {
    case InputRoute::wlroots:
        return tr("入力経路: Wayland（wlroots の仮想デバイス）。必要な操作はありません。");
    case InputRoute::kwin:
        return tr("入力経路: Wayland（KWin の fake input）。必要な操作はありません。"
                  "キーボード配列にない文字はクリップボード経由で入力されます。");
    case InputRoute::libei:
        return tr("入力経路: Wayland（libei）。必要な操作はありません。"
                  "キーボード配列にない文字はクリップボード経由で入力されます。");
    case InputRoute::gnome:
        return tr("入力経路: Wayland（GNOME のリモートデスクトップ）。必要な操作はありません。"
                  "キーボード配列にない文字はクリップボード経由で入力されます。");
    case InputRoute::portal:
        return tr(
            "入力経路: Wayland（デスクトップポータル）。開始するとデスクトップが確認を求めるので、"
            "リモート操作を許可してください。");
    case InputRoute::portalRefused:
        return tr("デスクトップがリモート操作を許可しませんでした。もう一度開始し、表示される確認で"
                  "許可してください。");
    case InputRoute::x11:
        return tr("入力経路: X11（XTest）。必要な操作はありません。");
    case InputRoute::x11InWayland:
        return tr("入力経路: X11（XTest）。この Wayland セッションでは X アプリケーションにしか"
                  "届きません。POINTRELAY_INPUT で別の経路を選べます。");
    case InputRoute::none:
        return tr("ウィンドウシステムに接続できないため、入力は送られません。"
                  "デスクトップのセッションで起動してください。");
    case InputRoute::unknown:
        break;
    }
    return tr("入力経路は開始時にデスクトップに合わせて選ばれます。");
}

QString PlatformTexts::scanStep() {
    return tr("3) スマートフォンのアプリで QR を読み取ると、接続設定が取り込まれます。");
}

#endif

QString PlatformTexts::routeNote(InputRoute route, bool desktopLost, Place place) {
    const QString note = permissionNote(route, place);
    return desktopLost
               ? tr("デスクトップに届きません。戻りしだい入力は自動で再開します。") + u'\n' + note
               : note;
}

bool PlatformTexts::hasAccessibilitySettings() {
    return accessibilitySettingsUrl().has_value();
}

} // namespace pointrelay::app
