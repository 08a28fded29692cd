#include "view/jpg_export.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>

namespace JpgExport {

namespace {

constexpr int ErrorNumber = 26001;

void fail(QString *error, const QString &description)
{
    if (error) {
        *error = QStringLiteral("Error %1 in %2.mIntelJPEGLibrary: %3")
                     .arg(ErrorNumber)
                     .arg(QCoreApplication::applicationName(), description);
    }
}

} // namespace

int BytesPerScanLine(int width)
{
    return (width * 3 + 3) & ~3;
}

cDIBSection::cDIBSection(const QImage &picture)
    // QImage pads every row to 32 bits, which for 24-bit pixels is exactly
    // BytesPerScanLine.
    : m_bits(picture.convertToFormat(QImage::Format_RGB888))
{
}

bool SaveJPG(const cDIBSection &bitmap, const QString &path, int quality, QString *error)
{
    if (!QImageWriter::supportedImageFormats().contains("jpg")) {
        fail(error, QStringLiteral("Failed to initialise the IJL library: %1")
                        .arg(int(QImageWriter::UnsupportedFormatError)));
        return false;
    }

    // The file is written in place rather than through a temporary file
    // renamed over it: the same file then keeps its creation time (where the
    // file system records one, which nothing can set afterwards), owner and
    // permissions, and only its access and modification times need putting
    // back. A failed write loses the earlier picture, which replacing it would
    // too.
    const QFileInfo old(path);
    const bool existed = old.exists();
    const QDateTime accessed = old.fileTime(QFileDevice::FileAccessTime);
    const QDateTime modified = old.fileTime(QFileDevice::FileModificationTime);

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        fail(error, QStringLiteral("Failed to save to JPG %1").arg(int(QImageWriter::DeviceError)));
        return false;
    }
    QImageWriter writer(&file, "jpg");
    writer.setQuality(quality);
    if (!writer.write(bitmap.bits()) || !file.flush()) {
        const int reason = writer.error() == QImageWriter::UnknownError && file.error() != QFileDevice::NoError
                               ? int(QImageWriter::DeviceError)
                               : int(writer.error());
        file.remove();
        fail(error, QStringLiteral("Failed to save to JPG %1").arg(reason));
        return false;
    }
    if (existed) {
        file.setFileTime(accessed, QFileDevice::FileAccessTime);
        file.setFileTime(modified, QFileDevice::FileModificationTime);
    }
    file.close();
    return true;
}

bool saveSnapshot(const QImage &image, const QString &path, QString *error)
{
    return SaveJPG(cDIBSection(image), path, 90, error);
}

} // namespace JpgExport
