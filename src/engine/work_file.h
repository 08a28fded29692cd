#pragma once
#include <QString>

// The file a download writes into: the project's work file ("final.zov" in its
// download folder), as long as the finished file from the start. Every slot
// writes the bytes it receives in place, at their offset in the file, so a
// complete pack costs no file of its own, no copy and no deletion, and the
// finished file needs one rename.
//
// The whole length is allocated when the file is opened, so that a disk too
// small for the file is known before the first byte is fetched, and a disk
// that fills up later (another program) cannot stop the download halfway.
// Writes go straight to the system (no buffer in between): a write that
// returned true is in the file even if the program is killed right after.
// Which bytes of the file are stored is not the file's to say (an allocated
// byte reads as zero whether it was fetched or not): the pack register keeps
// that (PackRegister).
class WorkFile
{
public:
    WorkFile() = default;
    ~WorkFile();
    WorkFile(const WorkFile &) = delete;
    WorkFile &operator=(const WorkFile &) = delete;

    // Opens path (made when missing; a link or anything but a regular file is
    // refused) and gives it exactly size bytes, allocated on the disk where
    // the file system can (bytes already in it stay). False with the
    // system's reason; noRoom() then says whether the disk was too small.
    // A size of -1 (a file whose length is not known) empties it instead, and
    // it grows as bytes are written, until setLength() gives it its length.
    bool open(const QString &path, qint64 size);
    bool isOpen() const { return m_fd >= 0; }
    QString path() const { return m_path; }
    qint64 size() const { return m_size; }
    // The open file is still the one at path(), with its length: nobody
    // removed or replaced it meanwhile.
    bool stillInPlace() const;

    // Writes size bytes at offset; false (with errorString()) when they did
    // not all go in or fall outside the file.
    bool write(qint64 offset, const char *data, qint64 size);
    // The file is cut (or grown) to size bytes, which is its length from now on.
    bool setLength(qint64 size);
    // Hands what was written to the disk (a pause or a close: a power cut
    // after it loses nothing of what the register says is stored).
    bool sync();
    void close();

    QString errorString() const { return m_error; }
    bool noRoom() const { return m_noRoom; }

private:
    bool fail(int error);

    int m_fd = -1;
    QString m_path;
    qint64 m_size = 0;
    QString m_error;
    bool m_noRoom = false;
};
