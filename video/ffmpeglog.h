#ifndef FFMPEGLOG_H
#define FFMPEGLOG_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <mutex>

// FFmpeg's messages about one source or one writer. FFmpeg prints its
// warnings and errors to standard error unless told otherwise; here every
// message goes to the log of the object it is about, or is dropped, and
// none reaches standard error.
//
// A message is routed by the context it is logged with: a codec or format
// context whose `opaque` is the log (set by its owner), which also catches
// the decoder's worker threads; other messages (I/O, swscale) go to the log
// that the logging thread has made current with FfmpegLogScope.
class FfmpegLog
{
public:
    // Warnings and errors are kept; the first kMaxLines of them, then a
    // count of the rest.
    static const int kMaxLines = 200;

    FfmpegLog();  // installs the route on first use
    QStringList lines() const;
    // Errors logged so far (not warnings): a decoder's errors mark damage.
    int errors() const;

    void add(int level, const char *component, const char *text);

private:
    mutable std::mutex mutex;
    QStringList kept;
    QByteArray partial;  // a message FFmpeg sends in pieces
    int omitted = 0;
    int errorCount = 0;
};

// While it lives, messages of this thread that no context routes go to `log`.
class FfmpegLogScope
{
public:
    explicit FfmpegLogScope(FfmpegLog *log);
    ~FfmpegLogScope();
    FfmpegLogScope(const FfmpegLogScope &) = delete;
    FfmpegLogScope &operator=(const FfmpegLogScope &) = delete;

private:
    FfmpegLog *outer;
};

// FFmpeg's words for one of its error codes.
QString ffmpegErrorText(int code);

#endif // FFMPEGLOG_H
