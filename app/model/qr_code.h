// SPDX-License-Identifier: MIT
#pragma once

// QR code of the pairing payload: encoded with libqrencode (error correction level M, 8-bit
// mode), drawn as a bitmap with 8 pixels per module, or as text for a terminal.

#include <QByteArrayView>
#include <QImage>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

namespace pointrelay::app {

/// How `QrCode::toTerminalText` colours its output.
enum class TerminalQrStyle {
    /// Black on (bright) white set explicitly with SGR codes on every line and reset before
    /// each newline: phone cameras read dark modules on a light ground, and this holds on dark
    /// and light terminal themes alike. For terminals.
    explicitColors,
    /// No escape sequences; dark modules are the glyphs. Reads correctly only where the text
    /// is dark on a light ground (files, light terminal themes).
    plain,
};

/// An encoded QR symbol: a square of dark and light modules.
class QrCode {
public:
    /// Pixels per module in the bitmap.
    static constexpr int kModuleScale = 8;
    /// Light modules around the symbol in every rendering. libqrencode draws none, and a code
    /// without its quiet zone fails to scan on any background that is not light (dark mode).
    static constexpr int kQuietZoneModules = 4;

    /// \brief Encodes UTF-8 text in 8-bit mode at level M with the smallest version that fits.
    /// ASCII text is one plain 8-bit segment; text with bytes beyond ASCII is preceded by the
    /// ECI designator for UTF-8 (26), without which readers take it for ISO 8859-1 or guess
    /// Shift JIS. Nothing when the text does not fit, is empty, holds a zero byte (libqrencode
    /// takes C strings and would silently cut the message there) or libqrencode fails.
    static std::optional<QrCode> encode(QByteArrayView message);

    /// Modules per side, quiet zone excluded.
    int width() const { return m_width; }

    /// \brief Whether the module is dark; coordinates outside the symbol (the quiet zone and
    /// beyond) are light.
    bool isDark(int x, int y) const;

    /// \brief Grayscale bitmap, black modules on white, quiet zone included, each module
    /// `kModuleScale` pixels square (hard edges, no smoothing). Nothing when the bitmap
    /// cannot be allocated.
    std::optional<QImage> toImage() const;

    /// \brief The symbol and its quiet zone as lines of half-block characters, two module rows
    /// per line (U+2580 upper, U+2584 lower, U+2588 full, space). Terminal cells are about half
    /// as wide as tall, so each module shows about square. Every line ends with "\n".
    QString toTerminalText(TerminalQrStyle style) const;

private:
    QrCode(int width, std::vector<std::uint8_t> modules)
        : m_width(width), m_modules(std::move(modules)) {}

    int m_width = 0;
    std::vector<std::uint8_t> m_modules; // row-major, 1 = dark
};

/// \brief The QR bitmap of the payload bytes (see `QrCode::toImage`), or nothing when any step
/// fails.
std::optional<QImage> makeQRImage(QByteArrayView payload);

/// \brief Writes the image as PNG, replacing the file atomically. The file is readable and
/// writable by its owner only, since a pairing code carries the key. False on any failure.
bool saveQRImagePng(const QImage& image, const QString& path);

} // namespace pointrelay::app
