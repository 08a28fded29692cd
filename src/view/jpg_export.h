#pragma once
#include <QImage>
#include <QString>

namespace JpgExport {

// Bytes in one row of a 24-bit bitmap: 3 per pixel, padded to a multiple of 4.
int BytesPerScanLine(int width);

// The 24-bit device-independent bitmap a picture is exported through: the
// picture's whole visible image at its pixel size, rows of BytesPerScanLine
// bytes. A null picture gives an empty bitmap, which the encoder refuses.
class cDIBSection
{
public:
    explicit cDIBSection(const QImage &picture);
    int Width() const { return m_bits.width(); }
    int Height() const { return m_bits.height(); }
    int BytesPerScanLine() const { return JpgExport::BytesPerScanLine(Width()); }
    const QImage &bits() const { return m_bits; }

private:
    QImage m_bits;
};

// Encodes the bitmap into a JPG file of the given quality (1 to 100). False,
// with error 26001 and its description in *error, when no JPG encoder is
// available or the file cannot be written.
bool SaveJPG(const cDIBSection &bitmap, const QString &path, int quality, QString *error);

// Writes image as a JPG of quality 90 at path. An existing file is replaced
// and keeps its modification time and permissions (as the snapshot of the
// same number written again). False, with the error text (error 26001 and its
// description), when the file cannot be written.
bool saveSnapshot(const QImage &image, const QString &path, QString *error);

} // namespace JpgExport
