// SPDX-License-Identifier: MIT
#include "qr_code.h"

#include <QByteArray>
#include <QLoggingCategory>
#include <QSaveFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <qrencode.h>
#include <sys/stat.h>

namespace pointrelay::app {

namespace {

Q_LOGGING_CATEGORY(lcQrCode, "pointrelay.app.qrcode")

struct QRcodeDeleter {
    void operator()(QRcode* code) const noexcept { QRcode_free(code); }
};
using QRcodePtr = std::unique_ptr<QRcode, QRcodeDeleter>;

struct QRinputDeleter {
    void operator()(QRinput* input) const noexcept { QRinput_free(input); }
};
using QRinputPtr = std::unique_ptr<QRinput, QRinputDeleter>;

// ECI assignment number of UTF-8.
constexpr unsigned int kEciUtf8 = 26;

// Level M, 8-bit mode, smallest version that fits (version 0). `text` is zero-terminated
// and holds no other zero byte.
QRcodePtr encodeText(const QByteArray& text) {
    const bool ascii =
        std::all_of(text.begin(), text.end(), [](char c) { return static_cast<uchar>(c) < 0x80; });
    if (ascii)
        return QRcodePtr(QRcode_encodeString(text.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1));
    // Byte mode means ISO 8859-1 unless an ECI designator says otherwise, and readers that
    // guess take short UTF-8 text for Shift JIS; so UTF-8 beyond ASCII is declared as such.
    const QRinputPtr input(QRinput_new2(0, QR_ECLEVEL_M));
    if (!input || QRinput_appendECIheader(input.get(), kEciUtf8) != 0 ||
        QRinput_append(input.get(), QR_MODE_8, static_cast<int>(text.size()),
                       reinterpret_cast<const unsigned char*>(text.constData())) != 0)
        return nullptr;
    return QRcodePtr(QRcode_encodeInput(input.get()));
}

// SGR 30 (black text) on 107 (bright white ground); 0 resets before the newline so that the
// ground colour never spills into the rest of the terminal line.
constexpr QLatin1StringView kDarkOnLight("\x1b[30;107m");
constexpr QLatin1StringView kReset("\x1b[0m");

} // namespace

std::optional<QrCode> QrCode::encode(QByteArrayView message) {
    if (message.isEmpty()) {
        qCWarning(lcQrCode) << "QR encoding refused: empty message";
        return std::nullopt;
    }
    if (message.contains('\0')) {
        qCWarning(lcQrCode) << "QR encoding refused: message holds a zero byte";
        return std::nullopt;
    }
    const QByteArray text = message.toByteArray(); // zero-terminated for the C interface
    const QRcodePtr code = encodeText(text);
    if (!code) {
        const int error = errno;
        // ERANGE: too long for any version; EINVAL, ENOMEM otherwise. The message itself
        // carries the key and is never logged.
        qCWarning(lcQrCode) << "QR encoding failed for" << text.size()
                            << "bytes:" << std::strerror(error);
        return std::nullopt;
    }
    const int width = code->width;
    std::vector<std::uint8_t> modules(static_cast<std::size_t>(width) * width);
    for (std::size_t i = 0; i < modules.size(); ++i)
        modules[i] = code->data[i] & 1; // the other bits describe the module's role
    return QrCode(width, std::move(modules));
}

bool QrCode::isDark(int x, int y) const {
    if (x < 0 || y < 0 || x >= m_width || y >= m_width)
        return false;
    return m_modules[static_cast<std::size_t>(y) * m_width + x] != 0;
}

std::optional<QImage> QrCode::toImage() const {
    const int modulesPerSide = m_width + 2 * kQuietZoneModules;
    const int side = modulesPerSide * kModuleScale;
    QImage image(side, side, QImage::Format_Grayscale8);
    if (image.isNull()) {
        qCWarning(lcQrCode) << "QR bitmap of" << side << "pixels could not be allocated";
        return std::nullopt;
    }
    image.fill(0xff);
    for (int y = 0; y < m_width; ++y) {
        for (int x = 0; x < m_width; ++x) {
            if (!isDark(x, y))
                continue;
            const int left = (x + kQuietZoneModules) * kModuleScale;
            const int top = (y + kQuietZoneModules) * kModuleScale;
            for (int row = top; row < top + kModuleScale; ++row)
                std::memset(image.scanLine(row) + left, 0x00, kModuleScale);
        }
    }
    return image;
}

QString QrCode::toTerminalText(TerminalQrStyle style) const {
    const int first = -kQuietZoneModules;
    const int end = m_width + kQuietZoneModules; // one past the last row and column
    const int columns = end - first;
    const int lines = (columns + 1) / 2;
    const bool colour = style == TerminalQrStyle::explicitColors;

    QString text;
    text.reserve(lines * (columns + (colour ? 16 : 1)));
    for (int y = first; y < end; y += 2) {
        if (colour)
            text += kDarkOnLight;
        for (int x = first; x < end; ++x) {
            // With an odd number of rows the last line's lower half lies beyond the quiet
            // zone; isDark reports it light like the quiet zone.
            const bool upper = isDark(x, y);
            const bool lower = isDark(x, y + 1);
            if (upper && lower)
                text += QChar(0x2588);
            else if (upper)
                text += QChar(0x2580);
            else if (lower)
                text += QChar(0x2584);
            else
                text += QLatin1Char(' ');
        }
        if (colour)
            text += kReset;
        text += QLatin1Char('\n');
    }
    return text;
}

std::optional<QImage> makeQRImage(QByteArrayView payload) {
    const std::optional<QrCode> code = QrCode::encode(payload);
    if (!code)
        return std::nullopt;
    return code->toImage();
}

bool saveQRImagePng(const QImage& image, const QString& path) {
    if (image.isNull())
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qCWarning(lcQrCode) << "cannot write" << path << ":" << file.errorString();
        return false;
    }
    // Restrict the temporary file before any byte of the key reaches it; the rename in
    // commit() keeps its mode, whatever mode an earlier file of that name had.
    if (fchmod(file.handle(), S_IRUSR | S_IWUSR) != 0) {
        const int error = errno;
        qCWarning(lcQrCode) << "cannot restrict" << path << ":" << std::strerror(error);
        file.cancelWriting();
        return false;
    }
    if (!image.save(&file, "PNG")) {
        qCWarning(lcQrCode) << "cannot encode PNG for" << path;
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        qCWarning(lcQrCode) << "cannot write" << path << ":" << file.errorString();
        return false;
    }
    return true;
}

} // namespace pointrelay::app
