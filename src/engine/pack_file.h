#pragma once
#include <QFile>
#include <QString>

// A pack file while a slot writes into it. It is opened once at the pack's write
// position and stays open while the arriving chunks go in, one after the other;
// it is closed when the pack is complete, when the slot stops or moves to
// another pack. Writes go straight to the file (no buffer in between), so a
// write that returned true is in the file even if the program ends right after.
class PackFile
{
public:
    PackFile() = default;
    ~PackFile();
    PackFile(const PackFile &) = delete;
    PackFile &operator=(const PackFile &) = delete;

    // Opens path for writing at byte position (0-based): the first position
    // bytes of the file are kept, anything after them is cut off, and the next
    // write goes at position. A missing file is created when position is 0. A
    // file shorter than position cannot be continued (the gap would hold bytes
    // never fetched) and is refused. Any file open before is closed first.
    bool open(const QString &path, qint64 position);
    bool isOpen() const { return m_file.isOpen(); }
    QString path() const { return m_path; }
    // Where the next write goes (0-based); -1 when closed.
    qint64 position() const { return isOpen() ? m_position : -1; }

    // Appends the bytes at position(); false (and nothing counted) when the
    // file is closed or the bytes did not all go in.
    bool write(const char *data, qint64 size);
    bool write(const QByteArray &bytes) { return write(bytes.constData(), bytes.size()); }

    void close();
    QString errorString() const { return m_error; }

private:
    QFile m_file;
    QString m_path;
    qint64 m_position = 0;
    QString m_error;
};
