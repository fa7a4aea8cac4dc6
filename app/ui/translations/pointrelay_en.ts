<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ja">
<context>
    <name>MessageBoxAlerts</name>
    <message>
        <source>OK</source>
        <translation type="vanished">OK</translation>
    </message>
    <message>
        <source>ポート %1 は使用中</source>
        <translation type="vanished">Port %1 is in use</translation>
    </message>
    <message>
        <source>ポート %1 は使用中です</source>
        <translation type="vanished">Port %1 is in use</translation>
    </message>
    <message>
        <source>%1
別ポートを選択してください。</source>
        <translation type="vanished">%1
Please choose another port.</translation>
    </message>
    <message>
        <source>キャンセル</source>
        <translation type="vanished">Cancel</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>初回セットアップ</source>
        <translation type="vanished">First-time setup</translation>
    </message>
</context>
<context>
    <name>SettingsRootView</name>
    <message>
        <source>利用可能</source>
        <translation type="vanished">Available</translation>
    </message>
    <message>
        <source>ポート %1 は利用可能です。</source>
        <translation type="vanished">Port %1 is available.</translation>
    </message>
    <message>
        <source>不明なプロセス</source>
        <translation type="vanished">Unknown process</translation>
    </message>
    <message>
        <source>使用中</source>
        <translation type="vanished">In use</translation>
    </message>
    <message>
        <source>ポート %1 は使用中です。
例: %2</source>
        <translation type="vanished">Port %1 is in use.
For example: %2</translation>
    </message>
</context>
<context>
    <name>pointrelay::app::FirstRunWizardView</name>
    <message>
        <source>戻る</source>
        <translation type="vanished">Back</translation>
    </message>
    <message>
        <source>次へ</source>
        <translation type="vanished">Next</translation>
    </message>
    <message>
        <source>完了</source>
        <translation type="vanished">Done</translation>
    </message>
    <message>
        <source>Pointrelay 初回セットアップ</source>
        <translation type="vanished">Pointrelay first-time setup</translation>
    </message>
    <message>
        <source>1) アクセシビリティの許可を有効にしてください。</source>
        <translation type="vanished">1) Turn on the accessibility permission.</translation>
    </message>
    <message>
        <source>Pointrelay Server は、iPhone からの操作を Mac に送信するために「アクセシビリティ」の許可が必要です。下のボタンから macOS の設定を開き、「Pointrelay Server」を有効にしてください。</source>
        <translation type="vanished">Pointrelay Server needs the Accessibility permission to pass what you do on the phone to this computer. Open the system settings with the button below and turn on &quot;Pointrelay Server&quot;.</translation>
    </message>
    <message>
        <source>アクセシビリティ設定を開く</source>
        <translation type="vanished">Open Accessibility Settings</translation>
    </message>
    <message>
        <source>2) 接続ポートと PSK を確認してください。</source>
        <translation type="vanished">2) Check the connection port and the PSK.</translation>
    </message>
    <message>
        <source>Port:</source>
        <translation type="vanished">Port:</translation>
    </message>
    <message>
        <source>重複チェック</source>
        <translation type="vanished">Check port</translation>
    </message>
    <message>
        <source>PSK（ヒント）:</source>
        <translation type="vanished">PSK (hint):</translation>
    </message>
    <message>
        <source>再生成</source>
        <translation type="vanished">Regenerate</translation>
    </message>
    <message>
        <source>3) iPhone のアプリで QR を読み取ると、接続設定が取り込まれます。</source>
        <translation type="vanished">3) Scan the QR code with the phone app to import the connection settings.</translation>
    </message>
    <message>
        <source>QR を表示</source>
        <translation type="vanished">Show QR</translation>
    </message>
</context>
<context>
    <name>pointrelay::app::QRSheet</name>
    <message>
        <source>閉じる</source>
        <translation type="vanished">Close</translation>
    </message>
    <message>
        <source>自動で閉じます: </source>
        <translation type="vanished">Closes automatically in: </translation>
    </message>
    <message>
        <source>接続用 QR</source>
        <translation type="vanished">Connection QR</translation>
    </message>
</context>
<context>
    <name>pointrelay::app::QRSheetContent</name>
    <message>
        <source>QR生成に失敗しました</source>
        <translation type="vanished">Could not create the QR code</translation>
    </message>
</context>
<context>
    <name>pointrelay::app::SettingsRootView</name>
    <message>
        <source>Bonjourで広告（_pointrelay._tcp）</source>
        <translation type="vanished">Advertise with Bonjour (_pointrelay._tcp)</translation>
    </message>
    <message>
        <source>ログイン時に自動起動</source>
        <translation type="vanished">Start at login</translation>
    </message>
    <message>
        <source>接続</source>
        <translation type="vanished">Connection</translation>
    </message>
    <message>
        <source>重複チェック</source>
        <translation type="vanished">Check port</translation>
    </message>
    <message>
        <source>.local名</source>
        <translation type="vanished">.local name</translation>
    </message>
    <message>
        <source>IPv4アドレス</source>
        <translation type="vanished">IPv4 address</translation>
    </message>
    <message>
        <source>Host（QRに含める）</source>
        <translation type="vanished">Host (included in the QR code)</translation>
    </message>
    <message>
        <source>セキュリティ（PSKはMacで管理）</source>
        <translation type="vanished">Security (the PSK is kept on this computer)</translation>
    </message>
    <message>
        <source>再生成</source>
        <translation type="vanished">Regenerate</translation>
    </message>
    <message>
        <source>QR表示</source>
        <translation type="vanished">Show QR</translation>
    </message>
    <message>
        <source>Mac をリモート操作するために、「アクセシビリティ」の許可が必要です。下のボタンから設定を開き、「Pointrelay Server」を有効にしてください。</source>
        <translation type="vanished">Remote control of this computer needs the Accessibility permission. Open the settings with the button below and turn on &quot;Pointrelay Server&quot;.</translation>
    </message>
    <message>
        <source>アクセシビリティ設定を開く</source>
        <translation type="vanished">Open Accessibility Settings</translation>
    </message>
    <message>
        <source>保存先: %1</source>
        <translation type="vanished">Stored in: %1</translation>
    </message>
    <message>
        <source>PSKを再生成しました</source>
        <translation type="vanished">The PSK was regenerated</translation>
    </message>
    <message>
        <source>iPhone側の「QR読み取り」で取り込みください。</source>
        <translation type="vanished">Import it on the phone with &quot;Scan QR&quot;.</translation>
    </message>
</context>
<context>
    <name>pointrelay::app::StatusPopoverView</name>
    <message>
        <source>設定…</source>
        <translation type="vanished">Settings…</translation>
    </message>
    <message>
        <source>終了</source>
        <translation type="vanished">Quit</translation>
    </message>
    <message>
        <source>稼働中</source>
        <translation type="vanished">Running</translation>
    </message>
    <message>
        <source>停止中</source>
        <translation type="vanished">Stopped</translation>
    </message>
    <message>
        <source>Host: %1</source>
        <translation type="vanished">Host: %1</translation>
    </message>
    <message>
        <source>Port: %1</source>
        <translation type="vanished">Port: %1</translation>
    </message>
    <message>
        <source>Clients: %1</source>
        <translation type="vanished">Clients: %1</translation>
    </message>
    <message>
        <source>Stop</source>
        <translation type="vanished">Stop</translation>
    </message>
    <message>
        <source>Start</source>
        <translation type="vanished">Start</translation>
    </message>
</context>
</TS>
