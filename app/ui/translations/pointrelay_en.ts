<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ja">
<context>
    <name>AppState</name>
    <message>
        <location filename="../../model/app_state.cpp" line="218"/>
        <source>ブラウザ用のポート %1 を開けませんでした</source>
        <translation>Cannot open port %1 for the browser</translation>
    </message>
    <message>
        <location filename="../../model/app_state.cpp" line="220"/>
        <source>ブラウザからの操作は使えません。</source>
        <translation>Control from a browser is not available.</translation>
    </message>
</context>
<context>
    <name>MessageBoxAlerts</name>
    <message>
        <location filename="../message_box_alerts.cpp" line="29"/>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <location filename="../message_box_alerts.cpp" line="89"/>
        <source>ポート %1 は使用中</source>
        <translation>Port %1 is in use</translation>
    </message>
    <message>
        <location filename="../message_box_alerts.cpp" line="95"/>
        <source>ポート %1 は使用中です</source>
        <translation>Port %1 is in use</translation>
    </message>
    <message>
        <location filename="../message_box_alerts.cpp" line="96"/>
        <source>%1
別ポートを選択してください。</source>
        <translation>%1
Please choose another port.</translation>
    </message>
    <message>
        <location filename="../message_box_alerts.cpp" line="103"/>
        <source>キャンセル</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>PlatformTexts</name>
    <message>
        <location filename="../platform_texts.cpp" line="11"/>
        <source>セキュリティ（PSKはMacで管理）</source>
        <translation>Security (the PSK is kept on this Mac)</translation>
    </message>
    <message>
        <source>デスクトップに届きません。戻りしだい入力は自動で再開します。</source>
        <translation>Desktop not reachable. Input resumes by itself once it is back.</translation>
    </message>
    <message>
        <source>入力経路: Wayland（KWin の fake input）。必要な操作はありません。キーボード配列にない文字はクリップボード経由で入力されます。</source>
        <translation>Input route: Wayland (KWin fake input). Nothing to do. Characters outside the keyboard layout go through the clipboard.</translation>
    </message>
    <message>
        <source>入力経路: Wayland（libei）。必要な操作はありません。キーボード配列にない文字はクリップボード経由で入力されます。</source>
        <translation>Input route: Wayland (libei). Nothing to do. Characters outside the keyboard layout go through the clipboard.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="15"/>
        <source>iPhone側の「QR読み取り」で取り込みください。</source>
        <translation>Import it again with &quot;Scan QR&quot; on the iPhone.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="19"/>
        <source>1) アクセシビリティの許可を有効にしてください。</source>
        <translation>1) Turn on the accessibility permission.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="24"/>
        <source>Mac をリモート操作するために、「アクセシビリティ」の許可が必要です。下のボタンから設定を開き、「Pointrelay Server」を有効にしてください。</source>
        <translation>Remote control of this Mac needs the Accessibility permission. Open the settings with the button below and turn on &quot;Pointrelay Server&quot;.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="27"/>
        <source>Pointrelay Server は、iPhone からの操作を Mac に送信するために「アクセシビリティ」の許可が必要です。下のボタンから macOS の設定を開き、「Pointrelay Server」を有効にしてください。</source>
        <translation>Pointrelay Server needs the Accessibility permission to pass what you do on the iPhone to the Mac. Open the macOS settings with the button below and turn on &quot;Pointrelay Server&quot;.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="33"/>
        <source>3) iPhone のアプリで QR を読み取ると、接続設定が取り込まれます。</source>
        <translation>3) Scan the QR code with the iPhone app to import the connection settings.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="39"/>
        <source>セキュリティ（PSKはこのコンピュータで管理）</source>
        <translation>Security (the PSK is kept on this computer)</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="43"/>
        <source>スマートフォンで QR をもう一度読み取ってください。</source>
        <translation>Scan the QR code on the phone again.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="47"/>
        <source>1) 入力経路を確認してください。</source>
        <translation>1) Check the input route.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="53"/>
        <source>入力経路: Wayland（wlroots の仮想デバイス）。必要な操作はありません。</source>
        <translation>Input route: Wayland (wlroots virtual devices). Nothing to do.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="55"/>
        <source>入力経路: Wayland（GNOME のリモートデスクトップ）。必要な操作はありません。キーボード配列にない文字はクリップボード経由で入力されます。</source>
        <translation>Input route: Wayland (GNOME remote desktop). Nothing to do. Characters the keyboard layout lacks are typed through the clipboard.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="58"/>
        <source>入力経路: Wayland（デスクトップポータル）。開始するとデスクトップが確認を求めるので、リモート操作を許可してください。</source>
        <translation>Input route: Wayland (desktop portal). When the server starts, the desktop asks for your consent: allow remote interaction.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="62"/>
        <source>デスクトップがリモート操作を許可しませんでした。もう一度開始し、表示される確認で許可してください。</source>
        <translation>The desktop did not allow remote interaction. Start again and allow it when the desktop asks.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="65"/>
        <source>入力経路: X11（XTest）。必要な操作はありません。</source>
        <translation>Input route: X11 (XTest). Nothing to do.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="67"/>
        <source>入力経路: X11（XTest）。この Wayland セッションでは X アプリケーションにしか届きません。POINTRELAY_INPUT で別の経路を選べます。</source>
        <translation>Input route: X11 (XTest). In this Wayland session only X applications receive it. POINTRELAY_INPUT chooses another route.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="70"/>
        <source>ウィンドウシステムに接続できないため、入力は送られません。デスクトップのセッションで起動してください。</source>
        <translation>No window system is reachable, so no input is posted. Start Pointrelay in a desktop session.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="75"/>
        <source>入力経路は開始時にデスクトップに合わせて選ばれます。</source>
        <translation>The input route is chosen to suit the desktop when the server starts.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="79"/>
        <source>3) スマートフォンのアプリで QR を読み取ると、接続設定が取り込まれます。</source>
        <translation>3) Scan the QR code with the phone app to import the connection settings.</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <location filename="../wizard_window.cpp" line="34"/>
        <source>初回セットアップ</source>
        <translation>First-time setup</translation>
    </message>
</context>
<context>
    <name>ServerProcessManager</name>
    <message>
        <location filename="../../model/server_process_manager.cpp" line="195"/>
        <source>シグナル %1 (%2)</source>
        <translation>Signal %1 (%2)</translation>
    </message>
    <message>
        <location filename="../../model/server_process_manager.cpp" line="198"/>
        <source>終了コード %1</source>
        <translation>Exit status %1</translation>
    </message>
    <message>
        <location filename="../../model/server_process_manager.cpp" line="216"/>
        <source>pointrelayd が停止しました</source>
        <translation>pointrelayd has stopped</translation>
    </message>
</context>
<context>
    <name>SettingsRootView</name>
    <message>
        <location filename="../settings_actions.cpp" line="35"/>
        <source>利用可能</source>
        <translation>Available</translation>
    </message>
    <message>
        <location filename="../settings_actions.cpp" line="36"/>
        <source>ポート %1 は利用可能です。</source>
        <translation>Port %1 is available.</translation>
    </message>
    <message>
        <location filename="../settings_actions.cpp" line="41"/>
        <source>不明なプロセス</source>
        <translation>Unknown process</translation>
    </message>
    <message>
        <location filename="../settings_actions.cpp" line="45"/>
        <source>使用中</source>
        <translation>In use</translation>
    </message>
    <message>
        <location filename="../settings_actions.cpp" line="46"/>
        <source>ポート %1 は使用中です。
例: %2</source>
        <translation>Port %1 is in use.
For example: %2</translation>
    </message>
</context>
<context>
    <name>pointrelay::app::FirstRunWizardView</name>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="52"/>
        <source>戻る</source>
        <translation>Back</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="53"/>
        <source>次へ</source>
        <translation>Next</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="54"/>
        <source>完了</source>
        <translation>Done</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="63"/>
        <source>Pointrelay 初回セットアップ</source>
        <translation>Pointrelay first-time setup</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="78"/>
        <source>アクセシビリティ設定を開く</source>
        <translation>Open Accessibility Settings</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="87"/>
        <source>2) 接続ポートと PSK を確認してください。</source>
        <translation>2) Check the connection port and the PSK.</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="89"/>
        <source>Port:</source>
        <translation>Port:</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="93"/>
        <source>重複チェック</source>
        <translation>Check port</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="98"/>
        <source>PSK（ヒント）:</source>
        <translation>PSK (hint):</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="102"/>
        <source>再生成</source>
        <translation>Regenerate</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="113"/>
        <source>QR を表示</source>
        <translation>Show QR</translation>
    </message>
</context>
<context>
    <name>pointrelay::app::QRSheet</name>
    <message>
        <location filename="../qr_sheet.cpp" line="207"/>
        <source>閉じる</source>
        <translation>Close</translation>
    </message>
    <message>
        <location filename="../qr_sheet.cpp" line="242"/>
        <source>自動で閉じます: </source>
        <translation>Closes automatically in: </translation>
    </message>
    <message>
        <location filename="../qr_sheet.cpp" line="280"/>
        <location filename="../qr_sheet.cpp" line="296"/>
        <source>接続用 QR</source>
        <translation>Connection QR</translation>
    </message>
</context>
<context>
    <name>pointrelay::app::QRSheetContent</name>
    <message>
        <location filename="../qr_sheet.cpp" line="134"/>
        <source>アプリのないスマートフォンはこちらをブラウザで</source>
        <translation>Phones without the app: open this in the browser</translation>
    </message>
    <message>
        <location filename="../qr_sheet.cpp" line="142"/>
        <source>QR生成に失敗しました</source>
        <translation>Could not create the QR code</translation>
    </message>
</context>
<context>
    <name>pointrelay::app::SettingsRootView</name>
    <message>
        <location filename="../settings_root_view.cpp" line="58"/>
        <source>Bonjourで広告（_pointrelay._tcp）</source>
        <translation>Advertise with Bonjour (_pointrelay._tcp)</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="59"/>
        <source>ログイン時に自動起動</source>
        <translation>Start at login</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="60"/>
        <source>ブラウザから操作</source>
        <translation>Control from a browser</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="69"/>
        <source>接続</source>
        <translation>Connection</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="77"/>
        <source>重複チェック</source>
        <translation>Check port</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="83"/>
        <source>.local名</source>
        <translation>.local name</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="84"/>
        <source>IPv4アドレス</source>
        <translation>IPv4 address</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="85"/>
        <source>Host（QRに含める）</source>
        <translation>Host (included in the QR code)</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="93"/>
        <source>ブラウザ</source>
        <translation>Browser</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="107"/>
        <source>傍受や改ざんができる人のいるネットワークでは、HTTPのページが差し替えられるおそれがあります。</source>
        <translation>On a network where someone can intercept and alter traffic, the plain-HTTP page can be replaced.</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="126"/>
        <source>再生成</source>
        <translation>Regenerate</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="131"/>
        <source>QR表示</source>
        <translation>Show QR</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="147"/>
        <source>アクセシビリティ設定を開く</source>
        <translation>Open Accessibility Settings</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="261"/>
        <source>保存先: %1</source>
        <translation>Stored in: %1</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="274"/>
        <source>PSKを再生成しました</source>
        <translation>The PSK was regenerated</translation>
    </message>
</context>
<context>
    <name>pointrelay::app::StatusPopoverView</name>
    <message>
        <location filename="../status_popover_view.cpp" line="105"/>
        <source>設定…</source>
        <translation>Settings…</translation>
    </message>
    <message>
        <source>稼働中（デスクトップに届きません）</source>
        <translation>Running (desktop not reachable)</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="107"/>
        <source>終了</source>
        <translation>Quit</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="134"/>
        <source>稼働中</source>
        <translation>Running</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="134"/>
        <source>停止中</source>
        <translation>Stopped</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="135"/>
        <source>Host: %1</source>
        <translation>Host: %1</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="137"/>
        <source>Port: %1</source>
        <translation>Port: %1</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="138"/>
        <source>Clients: %1</source>
        <translation>Clients: %1</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="142"/>
        <source>Stop</source>
        <translation>Stop</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="142"/>
        <source>Start</source>
        <translation>Start</translation>
    </message>
</context>
</TS>
