// SPDX-License-Identifier: MIT
#include "qr_sheet.h"

#include "model/app_state.h"
#include "model/keychain_psk.h"
#include "model/pairing.h"
#include "model/qr_code.h"
#include "model/web_relay.h"
#include "text_styles.h"

#include <QDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTextLayout>
#include <QVBoxLayout>
#include <QtMath>

namespace pointrelay::app {

Q_LOGGING_CATEGORY(lcQrSheet, "pointrelay.app.qrsheet")

namespace {

constexpr auto kTickInterval = std::chrono::seconds(1);

QLabel* centredLabel(QWidget* parent, const QString& name) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

// A label that wraps like the text of the Mac's views: at a blank where it can, anywhere
// within a word where it must (the key hint is one long run of bullets without a blank).
class WrappingLabel final : public QLabel {
public:
    explicit WrappingLabel(QWidget* parent) : QLabel(parent) {}

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override {
        return qCeil(layoutText(width)->boundingRect().height());
    }
    QSize sizeHint() const override {
        return {fontMetrics().horizontalAdvance(text()) + 1, fontMetrics().height()};
    }
    QSize minimumSizeHint() const override {
        return {fontMetrics().averageCharWidth() * 4, fontMetrics().height()};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::WindowText));
        layoutText(width())->draw(&painter, QPointF(0, 0));
    }

private:
    std::unique_ptr<QTextLayout> layoutText(int width) const {
        auto layout = std::make_unique<QTextLayout>(text(), font());
        QTextOption option(Qt::AlignHCenter);
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout->setTextOption(option);
        layout->beginLayout();
        qreal y = 0;
        for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
            line.setLineWidth(width);
            line.setPosition(QPointF(0, y));
            y += line.height();
        }
        layout->endLayout();
        return layout;
    }
};

// The code of `text`, drawn at `side` pixels (nearest neighbour: smoothing would blur the
// module edges the camera looks for); nothing when no code can carry it.
std::optional<QPixmap> codePixmap(const QByteArray& text, int side, qreal ratio) {
    const std::optional<QImage> image = makeQRImage(text);
    if (!image)
        return std::nullopt;
    const int pixels = qRound(side * ratio);
    QPixmap pixmap = QPixmap::fromImage(
        image->scaled(pixels, pixels, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

// Puts the window in the middle of the screen it is on (the primary one for a new window).
void centre(QWidget* window) {
    window->adjustSize();
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}

} // namespace

TimerCountdownClock::TimerCountdownClock(QObject* parent) : CountdownClock(parent) {
    m_timer.setInterval(kTickInterval);
    m_timer.setTimerType(Qt::PreciseTimer); // a visible seconds counter must not drift
    connect(&m_timer, &QTimer::timeout, this, &CountdownClock::tick);
}

QRSheetContent::QRSheetContent(AppState& state, QWidget* parent)
    : QWidget(parent), m_state(state), m_image(centredLabel(this, QStringLiteral("qrImage"))),
      m_failure(centredLabel(this, QStringLiteral("qrFailure"))),
      m_device(centredLabel(this, QStringLiteral("qrDeviceName"))),
      m_address(centredLabel(this, QStringLiteral("qrAddress"))),
      m_keyHint(new WrappingLabel(this)), m_web(new QWidget(this)),
      m_webImage(centredLabel(m_web, QStringLiteral("qrWebImage"))),
      m_webAddress(centredLabel(m_web, QStringLiteral("qrWebAddress"))) {
    m_keyHint->setObjectName(QStringLiteral("qrKeyHint"));
    m_keyHint->setMaximumWidth(kImageSide + 40); // wraps under its own code, not beside the other
    auto* columns = new QHBoxLayout(this);
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(24);
    auto* layout = new QVBoxLayout;
    layout->setSpacing(8);
    columns->addLayout(layout);
    auto* web = new QVBoxLayout(m_web);
    web->setContentsMargins(0, 0, 0, 0);
    web->setSpacing(8);
    m_webImage->setFixedSize(kImageSide, kImageSide);
    m_webAddress->setFont(textStyleFont(TextStyle::caption, true));
    m_webAddress->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* webNote = centredLabel(m_web, QStringLiteral("qrWebNote"));
    webNote->setText(tr("アプリのないスマートフォンはこちらをブラウザで"));
    webNote->setFont(textStyleFont(TextStyle::caption2));
    web->addWidget(m_webImage, 0, Qt::AlignHCenter);
    web->addWidget(m_webAddress);
    web->addWidget(webNote);
    web->addStretch();
    columns->addWidget(m_web, 0, Qt::AlignTop);
    m_image->setFixedSize(kImageSide, kImageSide);
    m_failure->setText(tr("QR生成に失敗しました"));
    QPalette red = m_failure->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    m_failure->setPalette(red);
    m_address->setFont(textStyleFont(TextStyle::caption, true));
    m_keyHint->setFont(textStyleFont(TextStyle::caption2, true));
    m_address->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_device->setFont(textStyleFont(TextStyle::caption));
    layout->addWidget(m_device);
    layout->addWidget(m_image, 0, Qt::AlignHCenter);
    layout->addWidget(m_failure, 0, Qt::AlignHCenter);
    layout->addWidget(m_address);
    layout->addWidget(m_keyHint);

    // The wizard's QR windows stay open while the settings change port or key.
    connect(&m_state, &AppState::portChanged, this, &QRSheetContent::refresh);
    connect(&m_state, &AppState::maskedPSKChanged, this, &QRSheetContent::refresh);
    connect(&m_state, &AppState::devicesChanged, this, &QRSheetContent::refresh);
    connect(&m_state, &AppState::webRemoteChanged, this, &QRSheetContent::refresh);
    connect(&m_state, &AppState::webPortChanged, this, &QRSheetContent::refresh);
    connect(&WebRelay::shared(), &WebRelay::listeningChanged, this, &QRSheetContent::refresh);
    refresh();
}

void QRSheetContent::refresh() {
    // Read afresh every time. A code without a key could never connect a phone: the key is
    // made first when there is none (as a start makes it), and without one no code is shown.
    // Both codes are the device's being paired.
    const std::optional<QString> key = m_state.ensureKey(nullptr);
    m_device->setText(key ? tr("端末: %1").arg(DeviceList::displayName(m_state.pairingDevice()))
                          : QString());
    const PairingPayload payload =
        makePairingPayload(m_state.port(), key, localNetworkInterfaces());
    const QByteArray json = payload.toJson();
    const std::optional<QPixmap> image =
        key ? codePixmap(json, kImageSide, devicePixelRatioF()) : std::nullopt;
    if (image) {
        m_image->setPixmap(*image);
        m_payload = json;
    } else {
        qCWarning(lcQrSheet) << (key ? "no QR code for a payload of" : "no key for a QR code of")
                             << json.size() << "bytes";
        m_image->clear();
        m_payload.clear();
    }
    m_image->setVisible(image.has_value());
    m_failure->setVisible(!image);
    m_address->setText(pairingAddressLine(payload.host, payload.port));
    m_keyHint->setText(pairingKeyHintLine(key));

    // The page's code carries the key: it points only at a port our relay holds, never at one
    // that another program may have taken.
    const WebRelay& relay = WebRelay::shared();
    const QString url = webRemoteUrl(payload.host, relay.port(), key.value_or(QString()));
    const std::optional<QPixmap> webImage =
        key && relay.isListening() ? codePixmap(url.toUtf8(), kImageSide, devicePixelRatioF())
                                   : std::nullopt;
    m_webUrl = webImage ? url : QString();
    if (webImage)
        m_webImage->setPixmap(*webImage);
    m_webAddress->setText(webRemoteAddressLine(payload.host, relay.port()));
    m_web->setVisible(webImage.has_value());
}

void QRSheetContent::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous())
        return; // the window system showing it again (restored), not a new presentation
    refresh();
    logLocalIPv4Interfaces();
}

QRSheet::QRSheet(AppState& state, QWidget* parent)
    : QWidget(parent), m_content(new QRSheetContent(state, this)),
      m_countdown(centredLabel(this, QStringLiteral("countdownLabel"))),
      m_close(new QPushButton(tr("閉じる"), this)) {
    setObjectName(QStringLiteral("qrSheet"));
    // Twice as wide with the page's code beside the application's.
    const auto fitWidth = [this] {
        setFixedWidth(WebRelay::shared().isListening() ? 2 * kWidth : kWidth);
    };
    connect(&WebRelay::shared(), &WebRelay::listeningChanged, this, fitWidth);
    fitWidth();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 18, 18, 18);
    layout->setSpacing(12);
    layout->addWidget(m_content);
    m_countdown->setFont(textStyleFont(TextStyle::caption));
    useSecondaryTextColor(m_countdown);
    layout->addWidget(m_countdown);
    m_close->setObjectName(QStringLiteral("closeButton"));
    layout->addWidget(m_close, 0, Qt::AlignHCenter);
    connect(m_close, &QPushButton::clicked, this, &QRSheet::dismiss);
    setClock(std::make_unique<TimerCountdownClock>());
    showSeconds();
}

void QRSheet::setClock(std::unique_ptr<CountdownClock> clock) {
    if (m_clock) {
        m_clock->stop();
        m_clock->deleteLater();
    }
    m_clock = clock.release();
    m_clock->setParent(this);
    connect(m_clock, &CountdownClock::tick, this, &QRSheet::tick);
    if (isVisible() && !m_dismissed)
        m_clock->start();
}

void QRSheet::showSeconds() {
    m_countdown->setText(tr("自動で閉じます: ") + QString::number(m_seconds) + QStringLiteral("s"));
}

void QRSheet::tick() {
    if (m_dismissed)
        return;
    --m_seconds;
    if (m_seconds < 1) { // closes on the thirtieth tick; "0s" is never shown
        dismiss();
        return;
    }
    showSeconds();
}

void QRSheet::dismiss() {
    m_clock->stop();
    if (m_dismissed)
        return;
    m_dismissed = true;
    emit dismissed();
}

void QRSheet::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!m_dismissed && !m_clock->isActive())
        m_clock->start();
}

void QRSheet::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (!event->spontaneous()) // closed or hidden by the program; minimising keeps counting
        m_clock->stop();
}

QDialog* QRSheet::showSheet(AppState& state, QWidget* parent) {
    auto* dialog = new QDialog(parent, Qt::Sheet);
    dialog->setObjectName(QStringLiteral("qrSheetDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(tr("接続用 QR"));
    auto* layout = new QVBoxLayout(dialog);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    auto* sheet = new QRSheet(state, dialog);
    layout->addWidget(sheet);
    connect(sheet, &QRSheet::dismissed, dialog, &QDialog::close);
    dialog->open(); // window-modal, and returns at once
    return dialog;
}

QWidget* QRSheet::showWindow(AppState& state) {
    auto* window = new QWidget(nullptr, Qt::Window | Qt::WindowTitleHint |
                                            Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    window->setObjectName(QStringLiteral("qrWindow"));
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(tr("接続用 QR"));
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    auto* sheet = new QRSheet(state, window);
    layout->addWidget(sheet);
    // The countdown and "閉じる" close the window, like its close button.
    connect(sheet, &QRSheet::dismissed, window, &QWidget::close);
    // Not owned by any other window: it outlives the wizard, but never the model it shows.
    connect(&state, &QObject::destroyed, window, &QWidget::close);
    centre(window);
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

} // namespace pointrelay::app
