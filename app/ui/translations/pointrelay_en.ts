<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ja">
<context>
    <name>AppState</name>
    <message>
        <location filename="../../model/app_state.cpp" line="52"/>
        <source>不明なプロセスが LISTEN 中</source>
        <translation>an unknown process is listening</translation>
    </message>
    <message>
        <location filename="../../model/app_state.cpp" line="61"/>
        <source>%1: %2 %3。%4 を使います。</source>
        <translation>%1: %2 %3; %4 is used.</translation>
    </message>
    <message>
        <location filename="../../model/app_state.cpp" line="114"/>
        <source>は %1〜%2 の外です</source>
        <translation>is outside %1 to %2</translation>
    </message>
    <message>
        <location filename="../../model/app_state.cpp" line="117"/>
        <source>はポート番号ではありません</source>
        <translation>is not a port number</translation>
    </message>
    <message>
        <location filename="../../model/app_state.cpp" line="128"/>
        <source>は true か false ではありません</source>
        <translation>is neither true nor false</translation>
    </message>
    <message>
        <location filename="../../model/app_state.cpp" line="139"/>
        <source>はホストの示し方ではありません</source>
        <translation>is not a way of showing the host</translation>
    </message>
    <message>
        <location filename="../../model/app_state.cpp" line="157"/>
        <source>設定ファイルに使えない値がありました</source>
        <translation>The settings file held values that cannot be used</translation>
    </message>
    <message>
        <location filename="../../model/app_state.cpp" line="158"/>
        <source>%1 は JSON のオブジェクトではありません。既定の設定を使います。</source>
        <translation>%1 is not a JSON object; the default settings are used.</translation>
    </message>
    <message>
        <location filename="../../model/app_state.cpp" line="164"/>
        <source>元のファイルは %1 に残しました。</source>
        <translation>The original file is kept as %1.</translation>
    </message>
    <message>
        <location filename="../../model/app_state.cpp" line="166"/>
        <source>元のファイルを %1 に残せませんでした。</source>
        <translation>The original file could not be kept as %1.</translation>
    </message>
    <message>
        <location filename="../../model/app_state.cpp" line="359"/>
        <source>ブラウザ用のポート %1 を開けませんでした</source>
        <translation>Cannot open port %1 for the browser</translation>
    </message>
    <message>
        <location filename="../../model/app_state.cpp" line="361"/>
        <source>ブラウザからの操作は使えません。</source>
        <translation>Control from a browser is not available.</translation>
    </message>
    <message>
        <location filename="../../model/app_state.cpp" line="443"/>
        <source>端末の一覧を読めません</source>
        <translation>Cannot read the list of devices</translation>
    </message>
    <message>
        <location filename="../../model/app_state.cpp" line="444"/>
        <source>保存先: %1</source>
        <translation>Stored in: %1</translation>
    </message>
</context>
<context>
    <name>DeviceList</name>
    <message>
        <location filename="../../model/device_list.cpp" line="64"/>
        <source>端末の一覧を保存できませんでした</source>
        <translation>Could not store the list of devices</translation>
    </message>
    <message>
        <location filename="../../model/device_list.cpp" line="68"/>
        <source>システムの乱数源を利用できません。</source>
        <translation>The system&apos;s random source is not available.</translation>
    </message>
    <message>
        <location filename="../../model/device_list.cpp" line="106"/>
        <source>名前を入力してください。</source>
        <translation>Enter a name.</translation>
    </message>
    <message>
        <location filename="../../model/device_list.cpp" line="108"/>
        <source>名前は %1 文字までです。</source>
        <translation>A name has at most %1 characters.</translation>
    </message>
    <message>
        <location filename="../../model/device_list.cpp" line="111"/>
        <source>名前に制御文字は使えません。</source>
        <translation>A name cannot contain control characters.</translation>
    </message>
    <message>
        <location filename="../../model/device_list.cpp" line="113"/>
        <source>「%1」という端末はすでにあります。</source>
        <translation>There is already a device named “%1”.</translation>
    </message>
    <message>
        <location filename="../../model/device_list.cpp" line="235"/>
        <source>端末の一覧が壊れていました</source>
        <translation>The list of devices was damaged</translation>
    </message>
    <message>
        <location filename="../../model/device_list.cpp" line="237"/>
        <source>%1 を読めません。元の内容を %2 に残し、一覧を空にしました。端末をもう一度追加してください。</source>
        <translation>%1 cannot be read. Its content was kept in %2 and the list is empty now. Add the devices again.</translation>
    </message>
    <message>
        <location filename="../../model/device_list.cpp" line="241"/>
        <source>%1 を読めません。元の内容を残せなかったため、そのままにしました。</source>
        <translation>%1 cannot be read. Its content could not be kept elsewhere, so it was left as it is.</translation>
    </message>
    <message>
        <location filename="../../model/device_list.cpp" line="257"/>
        <source>端末の一覧を読めません: %1</source>
        <translation>Cannot read the list of devices: %1</translation>
    </message>
    <message>
        <location filename="../../model/device_list.cpp" line="268"/>
        <source>登録できる端末は %1 台までです。</source>
        <translation>At most %1 devices can be paired.</translation>
    </message>
    <message>
        <location filename="../../model/device_list.cpp" line="287"/>
        <location filename="../../model/device_list.cpp" line="303"/>
        <location filename="../../model/device_list.cpp" line="316"/>
        <source>端末「%1」はありません。</source>
        <translation>There is no device named “%1”.</translation>
    </message>
</context>
<context>
    <name>FilePskStore</name>
    <message>
        <location filename="../../model/file_psk_store.cpp" line="62"/>
        <source>ファイル (%1)</source>
        <translation>File (%1)</translation>
    </message>
</context>
<context>
    <name>KeychainPSK</name>
    <message>
        <location filename="../../model/keychain_psk.cpp" line="88"/>
        <source>（未設定）</source>
        <translation>(not set)</translation>
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
        <location filename="../message_box_alerts.cpp" line="92"/>
        <source>ポート %1 は使用中</source>
        <translation>Port %1 is in use</translation>
    </message>
    <message>
        <location filename="../message_box_alerts.cpp" line="92"/>
        <source>ブラウザ用のポート %1 は使用中</source>
        <translation>Browser port %1 is in use</translation>
    </message>
    <message>
        <location filename="../message_box_alerts.cpp" line="101"/>
        <source>ブラウザ用のポート %1 は使用中です</source>
        <translation>Browser port %1 is in use</translation>
    </message>
    <message>
        <location filename="../message_box_alerts.cpp" line="102"/>
        <source>ポート %1 は使用中です</source>
        <translation>Port %1 is in use</translation>
    </message>
    <message>
        <location filename="../message_box_alerts.cpp" line="104"/>
        <source>%1
別ポートを選択してください。</source>
        <translation>%1
Please choose another port.</translation>
    </message>
    <message>
        <location filename="../message_box_alerts.cpp" line="111"/>
        <source>キャンセル</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>Pairing</name>
    <message>
        <location filename="../../model/pairing.cpp" line="217"/>
        <source>ブラウザ: http://%1:%2/</source>
        <translation>Browser: http://%1:%2/</translation>
    </message>
    <message>
        <location filename="../../model/pairing.cpp" line="227"/>
        <source>PSKヒント: %1  (%2桁)</source>
        <translation>PSK hint: %1  (%2 digits)</translation>
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
        <location filename="../platform_texts.cpp" line="85"/>
        <source>デスクトップに届きません。戻りしだい入力は自動で再開します。</source>
        <translation>Desktop not reachable. Input resumes by itself once it is back.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="47"/>
        <source>入力経路: Wayland（KWin の fake input）。必要な操作はありません。キーボード配列にない文字はクリップボード経由で入力されます。</source>
        <translation>Input route: Wayland (KWin fake input). Nothing to do. Characters outside the keyboard layout go through the clipboard.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="50"/>
        <source>入力経路: Wayland（libei）。必要な操作はありません。キーボード配列にない文字はクリップボード経由で入力されます。</source>
        <translation>Input route: Wayland (libei). Nothing to do. Characters outside the keyboard layout go through the clipboard.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="15"/>
        <source>1) アクセシビリティの許可を有効にしてください。</source>
        <translation>1) Turn on the accessibility permission.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="20"/>
        <source>Mac をリモート操作するために、「アクセシビリティ」の許可が必要です。下のボタンから設定を開き、「Pointrelay Server」を有効にしてください。</source>
        <translation>Remote control of this Mac needs the Accessibility permission. Open the settings with the button below and turn on &quot;Pointrelay Server&quot;.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="23"/>
        <source>Pointrelay Server は、iPhone からの操作を Mac に送信するために「アクセシビリティ」の許可が必要です。下のボタンから macOS の設定を開き、「Pointrelay Server」を有効にしてください。</source>
        <translation>Pointrelay Server needs the Accessibility permission to pass what you do on the iPhone to the Mac. Open the macOS settings with the button below and turn on &quot;Pointrelay Server&quot;.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="29"/>
        <source>3) iPhone のアプリで QR を読み取ると、接続設定が取り込まれます。</source>
        <translation>3) Scan the QR code with the iPhone app to import the connection settings.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="35"/>
        <source>セキュリティ（PSKはこのコンピュータで管理）</source>
        <translation>Security (the PSK is kept on this computer)</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="39"/>
        <source>1) 入力経路を確認してください。</source>
        <translation>1) Check the input route.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="45"/>
        <source>入力経路: Wayland（wlroots の仮想デバイス）。必要な操作はありません。</source>
        <translation>Input route: Wayland (wlroots virtual devices). Nothing to do.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="53"/>
        <source>入力経路: Wayland（GNOME のリモートデスクトップ）。必要な操作はありません。キーボード配列にない文字はクリップボード経由で入力されます。</source>
        <translation>Input route: Wayland (GNOME remote desktop). Nothing to do. Characters the keyboard layout lacks are typed through the clipboard.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="56"/>
        <source>入力経路: Wayland（デスクトップポータル）。開始するとデスクトップが確認を求めるので、リモート操作を許可してください。</source>
        <translation>Input route: Wayland (desktop portal). When the server starts, the desktop asks for your consent: allow remote interaction.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="60"/>
        <source>デスクトップがリモート操作を許可しませんでした。もう一度開始し、表示される確認で許可してください。</source>
        <translation>The desktop did not allow remote interaction. Start again and allow it when the desktop asks.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="63"/>
        <source>入力経路: X11（XTest）。必要な操作はありません。</source>
        <translation>Input route: X11 (XTest). Nothing to do.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="65"/>
        <source>入力経路: X11（XTest）。この Wayland セッションでは X アプリケーションにしか届きません。POINTRELAY_INPUT で別の経路を選べます。</source>
        <translation>Input route: X11 (XTest). In this Wayland session only X applications receive it. POINTRELAY_INPUT chooses another route.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="68"/>
        <source>ウィンドウシステムに接続できないため、入力は送られません。デスクトップのセッションで起動してください。</source>
        <translation>No window system is reachable, so no input is posted. Start Pointrelay in a desktop session.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="73"/>
        <source>入力経路は開始時にデスクトップに合わせて選ばれます。</source>
        <translation>The input route is chosen to suit the desktop when the server starts.</translation>
    </message>
    <message>
        <location filename="../platform_texts.cpp" line="77"/>
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
    <name>QtKeychainPskStore</name>
    <message>
        <location filename="../../model/qt_keychain_psk_store.cpp" line="72"/>
        <source>キーチェーン</source>
        <translation>Keychain</translation>
    </message>
</context>
<context>
    <name>ServerProcessManager</name>
    <message>
        <location filename="../../model/server_process_manager.cpp" line="161"/>
        <source>鍵ファイルを書き込めません</source>
        <translation>Cannot write the keys file</translation>
    </message>
    <message>
        <location filename="../../model/server_process_manager.cpp" line="244"/>
        <source>シグナル %1 (%2)</source>
        <translation>Signal %1 (%2)</translation>
    </message>
    <message>
        <location filename="../../model/server_process_manager.cpp" line="247"/>
        <source>終了コード %1</source>
        <translation>Exit status %1</translation>
    </message>
    <message>
        <location filename="../../model/server_process_manager.cpp" line="265"/>
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
    <name>TerminalAlerts</name>
    <message>
        <location filename="../../cli/terminal_alerts.cpp" line="38"/>
        <source>ブラウザ用のポート %1 は使用中です: %2</source>
        <translation>the browser page&apos;s port %1 is in use: %2</translation>
    </message>
    <message>
        <location filename="../../cli/terminal_alerts.cpp" line="39"/>
        <source>ポート %1 は使用中です: %2</source>
        <translation>port %1 is in use: %2</translation>
    </message>
    <message>
        <location filename="../../cli/terminal_alerts.cpp" line="45"/>
        <source>空いているポート:</source>
        <translation>free ports:</translation>
    </message>
    <message>
        <location filename="../../cli/terminal_alerts.cpp" line="48"/>
        <source>%1 で指定してください</source>
        <translation>choose one with %1</translation>
    </message>
    <message>
        <location filename="../../cli/terminal_alerts.cpp" line="53"/>
        <source>ポート %1</source>
        <translation>port %1</translation>
    </message>
    <message>
        <location filename="../../cli/terminal_alerts.cpp" line="54"/>
        <source>1〜%1 を選んでください（それ以外は取り消し）: </source>
        <translation>choose 1-%1 (anything else cancels): </translation>
    </message>
</context>
<context>
    <name>pointrelay</name>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="116"/>
        <source>使い方: pointrelay serve [--port N] [--no-mdns] [--web] [--web-port N]
        pointrelay pair [--port N] [--png FILE] [--name NAME]
        pointrelay devices [remove NAME | rename OLD NEW]
        pointrelay send [--host H] [--port N] [--psk-file F] [--plain] COMMAND ARGS...
        pointrelay --version | --help

send のコマンド:
  text STRING             テキストをそのまま入力
  sys ACTION [ARG]        システム操作（次のいずれか）:
%1  move DX DY              ポインタを動かす（デスクトップでは 3 倍）
  scroll DX DY            スクロール（1 あたり 40 ピクセル）
  click left|right [down|up]   押して離す、またはどちらか一方
</source>
        <translation>Usage: pointrelay serve [--port N] [--no-mdns] [--web] [--web-port N]
       pointrelay pair [--port N] [--png FILE] [--name NAME]
       pointrelay devices [remove NAME | rename OLD NEW]
       pointrelay send [--host H] [--port N] [--psk-file F] [--plain] COMMAND ARGS...
       pointrelay --version | --help

send commands:
  text STRING             type the text exactly as given
  sys ACTION [ARG]        a system action, one of:
%1  move DX DY              move the pointer (x3 on the desktop)
  scroll DX DY            scroll (x40 pixels)
  click left|right [down|up]   press and release, or one transition
</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="157"/>
        <source>%1 には %2 から %3 のポートを指定してください（&quot;%4&quot; は使えません）</source>
        <translation>%1 takes a port from %2 to %3, not &quot;%4&quot;</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="183"/>
        <source>アプリでペアリング（アプリで読み取る）:</source>
        <translation>Pair the phone app (scan with the app):</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="187"/>
        <source>鍵の保存先: %1</source>
        <translation>Key store: %1</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="189"/>
        <source>ブラウザで操作（スマートフォンのカメラで読み取る）:</source>
        <translation>Browser remote (scan with the phone&apos;s camera):</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="227"/>
        <source>serve に &quot;%1&quot; は指定できません</source>
        <translation>serve does not take &quot;%1&quot;</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="262"/>
        <source>%1  接続: %2  移動: %3/s  スクロール: %4/s</source>
        <translation>%1  clients: %2  move: %3/s  scroll: %4/s</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="263"/>
        <source>稼働中</source>
        <translation>running</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="263"/>
        <source>停止中</source>
        <translation>stopped</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="290"/>
        <source>停止しました</source>
        <translation>stopped</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="316"/>
        <source>pair に &quot;%1&quot; は指定できません</source>
        <translation>pair does not take &quot;%1&quot;</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="342"/>
        <source>%1 に書き込めません</source>
        <translation>cannot write %1</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="353"/>
        <source>未接続</source>
        <translation>never</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="365"/>
        <source>devices に &quot;%1&quot; は指定できません</source>
        <translation>devices does not take &quot;%1&quot;</translation>
    </message>
    <message>
        <source>devices remove には端末の名前を 1 つ指定します</source>
        <translation>devices remove takes the name of one device</translation>
    </message>
    <message>
        <source>devices rename には今の名前と新しい名前を指定します</source>
        <translation>devices rename takes the current name and the new one</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="367"/>
        <source>ペアリングした端末はありません</source>
        <translation>No devices are paired</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="375"/>
        <source>%1  ペアリング: %2  最終接続: %3</source>
        <translation>%1  paired: %2  last seen: %3</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="390"/>
        <source>鍵ファイル %1 を読めません: %2</source>
        <translation>cannot read the key file %1: %2</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="399"/>
        <source>鍵ファイル %1 に鍵がありません</source>
        <translation>the key file %1 holds no key</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="400"/>
        <source>鍵ファイル %1 の鍵が 64 桁の 16 進数ではありません</source>
        <translation>the key file %1 does not hold a key of 64 hexadecimal digits</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="425"/>
        <source>不明なシステム操作 &quot;%1&quot;。使える操作:
%2</source>
        <translation>unknown system action &quot;%1&quot;; the actions are:
%2</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="431"/>
        <source>%1 は引数を取りません（&quot;%2&quot; は使えません）</source>
        <translation>%1 takes nothing, not &quot;%2&quot;</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="432"/>
        <source>%1 には %2 を指定してください（&quot;%3&quot; は使えません）</source>
        <translation>%1 takes %2, not &quot;%3&quot;</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="469"/>
        <source>ホスト %1 が見つかりません: %2</source>
        <translation>cannot find the host %1: %2</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="494"/>
        <source>%1 には IPv4 アドレスがありません。pointrelayd は IPv4 だけで待ち受けます（このマシンなら 127.0.0.1）</source>
        <translation>%1 has no IPv4 address, and pointrelayd listens on IPv4 only (for this machine: 127.0.0.1)</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="500"/>
        <source>%1:%2 に接続できません: %3</source>
        <translation>cannot connect to %1:%2: %3</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="505"/>
        <source>（このポートで pointrelayd は動いていますか？）</source>
        <translation> (is pointrelayd running on this port?)</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="542"/>
        <source>send にはコマンドが必要です</source>
        <translation>send needs a command</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="555"/>
        <source>テキストは %1 バイトです。1 つのコマンドで送れるのは %2 バイトまでです</source>
        <translation>the text is %1 bytes; one command carries at most %2</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="568"/>
        <source>%1 には %2 から %3 の整数を 2 つ指定してください（&quot;%4 %5&quot; は使えません）</source>
        <translation>%1 takes two whole numbers from %2 to %3, not &quot;%4 %5&quot;</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="578"/>
        <source>click には left か right、続けて down か up（両方なら省略）を指定してください（&quot;%1&quot; は使えません）</source>
        <translation>click takes left or right, then down or up (or nothing for both), not &quot;%1&quot;</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="584"/>
        <source>不明なコマンドか、引数の数が違います: &quot;%1&quot;</source>
        <translation>unknown command or wrong number of arguments: &quot;%1&quot;</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="598"/>
        <source>鍵がありません（`pointrelay serve` で保存するか、--psk-file を指定してください）</source>
        <translation>no key (store one with `pointrelay serve`, or pass --psk-file)</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="612"/>
        <source>%1:%2 の pointrelayd はこの鍵を受け入れませんでした</source>
        <translation>pointrelayd at %1:%2 did not accept this key</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="637"/>
        <source>pointrelayd との接続が切れました</source>
        <translation>the connection to pointrelayd was lost</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="650"/>
        <source>pointrelayd がコマンドを確認しませんでした</source>
        <translation>pointrelayd did not confirm the command</translation>
    </message>
    <message>
        <location filename="../../cli/pointrelay_cli.cpp" line="684"/>
        <source>不明なコマンド &quot;%1&quot;</source>
        <translation>unknown command &quot;%1&quot;</translation>
    </message>
</context>
<context>
    <name>pointrelay::app::FirstRunWizardView</name>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="53"/>
        <source>戻る</source>
        <translation>Back</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="54"/>
        <source>次へ</source>
        <translation>Next</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="55"/>
        <source>完了</source>
        <translation>Done</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="56"/>
        <source>開始</source>
        <translation>Start</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="65"/>
        <source>Pointrelay 初回セットアップ</source>
        <translation>Pointrelay first-time setup</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="80"/>
        <source>アクセシビリティ設定を開く</source>
        <translation>Open Accessibility Settings</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="89"/>
        <source>2) 接続ポートと PSK を確認してください。</source>
        <translation>2) Check the connection port and the PSK.</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="91"/>
        <source>Port:</source>
        <translation>Port:</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="95"/>
        <source>重複チェック</source>
        <translation>Check port</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="100"/>
        <source>PSK（ヒント）:</source>
        <translation>PSK (hint):</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="104"/>
        <source>再生成</source>
        <translation>Regenerate</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="115"/>
        <source>QR を表示</source>
        <translation>Show QR</translation>
    </message>
    <message>
        <location filename="../first_run_wizard_view.cpp" line="193"/>
        <source>鍵を再生成できませんでした</source>
        <translation>Could not regenerate the key</translation>
    </message>
</context>
<context>
    <name>pointrelay::app::QRSheet</name>
    <message>
        <location filename="../qr_sheet.cpp" line="219"/>
        <source>閉じる</source>
        <translation>Close</translation>
    </message>
    <message>
        <location filename="../qr_sheet.cpp" line="254"/>
        <source>自動で閉じます: </source>
        <translation>Closes automatically in: </translation>
    </message>
    <message>
        <location filename="../qr_sheet.cpp" line="292"/>
        <location filename="../qr_sheet.cpp" line="308"/>
        <source>接続用 QR</source>
        <translation>Connection QR</translation>
    </message>
</context>
<context>
    <name>pointrelay::app::QRSheetContent</name>
    <message>
        <location filename="../qr_sheet.cpp" line="136"/>
        <source>アプリのないスマートフォンはこちらをブラウザで</source>
        <translation>Phones without the app: open this in the browser</translation>
    </message>
    <message>
        <location filename="../qr_sheet.cpp" line="144"/>
        <source>QR生成に失敗しました</source>
        <translation>Could not create the QR code</translation>
    </message>
    <message>
        <location filename="../qr_sheet.cpp" line="173"/>
        <source>端末: %1</source>
        <translation>Device: %1</translation>
    </message>
</context>
<context>
    <name>pointrelay::app::SettingsRootView</name>
    <message>
        <location filename="../settings_root_view.cpp" line="61"/>
        <source>Bonjourで広告（_pointrelay._tcp）</source>
        <translation>Advertise with Bonjour (_pointrelay._tcp)</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="62"/>
        <source>ログイン時に自動起動</source>
        <translation>Start at login</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="63"/>
        <source>ブラウザから操作</source>
        <translation>Control from a browser</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="72"/>
        <source>接続</source>
        <translation>Connection</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="80"/>
        <source>重複チェック</source>
        <translation>Check port</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="86"/>
        <source>.local名</source>
        <translation>.local name</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="87"/>
        <source>IPv4アドレス</source>
        <translation>IPv4 address</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="88"/>
        <source>Host（QRに含める）</source>
        <translation>Host (included in the QR code)</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="96"/>
        <source>ブラウザ</source>
        <translation>Browser</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="110"/>
        <source>傍受や改ざんができる人のいるネットワークでは、HTTPのページが差し替えられるおそれがあります。</source>
        <translation>On a network where someone can intercept and alter traffic, the plain-HTTP page can be replaced.</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="126"/>
        <source>端末</source>
        <translation>Device</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="126"/>
        <source>最終接続</source>
        <translation>Last seen</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="126"/>
        <source>状態</source>
        <translation>Status</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="130"/>
        <source>追加…</source>
        <translation>Add…</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="131"/>
        <source>名前を変更…</source>
        <translation>Rename…</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="132"/>
        <source>削除</source>
        <translation>Remove</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="283"/>
        <source>未接続</source>
        <translation>Never connected</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="284"/>
        <source>接続中</source>
        <translation>Connected</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="307"/>
        <source>端末を追加できませんでした</source>
        <translation>Could not add the device</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="318"/>
        <source>名前を変更</source>
        <translation>Rename</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="318"/>
        <source>新しい名前:</source>
        <translation>New name:</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="323"/>
        <source>名前を変更できませんでした</source>
        <translation>Could not rename the device</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="329"/>
        <source>端末を削除</source>
        <translation>Remove device</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="330"/>
        <source>「%1」を削除しますか？この端末の鍵では接続できなくなり、接続中なら切断されます。</source>
        <translation>Remove “%1”? Its key will no longer connect, and it is disconnected if connected now.</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="335"/>
        <source>端末を削除できませんでした</source>
        <translation>Could not remove the device</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="133"/>
        <source>QR表示</source>
        <translation>Show QR</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="151"/>
        <source>アクセシビリティ設定を開く</source>
        <translation>Open Accessibility Settings</translation>
    </message>
    <message>
        <location filename="../settings_root_view.cpp" line="224"/>
        <source>保存先: %1</source>
        <translation>Stored in: %1</translation>
    </message>
</context>
<context>
    <name>pointrelay::app::StatusPopoverView</name>
    <message>
        <location filename="../status_popover_view.cpp" line="116"/>
        <source>設定…</source>
        <translation>Settings…</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="151"/>
        <source>稼働中（デスクトップに届きません）</source>
        <translation>Running (desktop not reachable)</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="118"/>
        <source>終了</source>
        <translation>Quit</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="152"/>
        <source>稼働中</source>
        <translation>Running</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="150"/>
        <source>停止中</source>
        <translation>Stopped</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="128"/>
        <source>端末を追加…</source>
        <translation>Add a phone…</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="153"/>
        <source>Host: %1</source>
        <translation>Host: %1</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="155"/>
        <source>Port: %1</source>
        <translation>Port: %1</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="156"/>
        <source>Clients: %1</source>
        <translation>Clients: %1</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="160"/>
        <source>Stop</source>
        <translation>Stop</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="160"/>
        <source>Start</source>
        <translation>Start</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="164"/>
        <source>操作中: %1</source>
        <translation>In control: %1</translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="164"/>
        <source>、</source>
        <translation>, </translation>
    </message>
    <message>
        <location filename="../status_popover_view.cpp" line="171"/>
        <source>端末を追加できませんでした</source>
        <translation>Could not add the device</translation>
    </message>
</context>
</TS>
