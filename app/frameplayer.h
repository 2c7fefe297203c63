#ifndef FRAMEPLAYER_H
#define FRAMEPLAYER_H

// The frames of a sequence as the window shows them: read one at a time
// off the GUI thread from the file's one picture source, a frame asked for
// while another is being read waiting for it (the latest ask wins), and
// playback paced at the sequence's own rate, never faster than the window
// shows them.

#include "frameloading.h"
#include "picturesource.h"

#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QImage>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>
#include <QVector>

#include <memory>

// One frame, read and ready to show.
struct PlayerFrame {
    qint64 index = -1;
    double time = 0.0;
    bool hasTime = false;
    std::shared_ptr<LoadedPicture> picture;  // samples kept, to map again and to tell pixels
    QImage view;                             // what the view shows of it (viewOf)
    QString damage;
    qint64 dropped = 0;  // frames a live source has dropped so far (newer ones won)
};

// What the view shows of a picture: deeper pictures always stretched (0.1
// to 99.9 percentile), whatever detection is given; the others as they are.
QImage viewOf(const LoadedPicture &picture);

class FramePlayer : public QObject
{
    Q_OBJECT

public:
    // Frames a second of sequences that carry no rate of their own (a
    // TIFF stack, a FITS cube, numbered files).
    static constexpr double kDefaultRate = 10.0;

    explicit FramePlayer(QObject *parent = nullptr);
    ~FramePlayer() override;

    // Plays `source` from frame `next` on (the frame after the one already
    // shown from it), mapping frames as `options` says. The old source is
    // let go.
    void setSource(std::shared_ptr<PictureSource> source, const LoadOptions &options, qint64 next);
    void close();
    bool isOpen() const { return source != nullptr; }
    bool isLive() const { return source && source->info().live; }
    // The last frame number, or -1 when unknown (a live source).
    qint64 lastFrame() const;
    void setLoadOptions(const LoadOptions &options) { loadOptions = options; }

    // Reads frame `index` (a live source: its newest frame) and hands it
    // over by frameReady.
    void showFrame(qint64 index);
    void play();
    void pause();
    bool isPlaying() const { return playing; }
    // The window has shown the frame handed over (and detected it, when it
    // detects): playback goes on to the next one in due time.
    void frameShown();
    // Frames shown per second while playing, over the last second or so;
    // 0 before two frames have been.
    double achievedRate() const;

signals:
    void frameReady(const PlayerFrame &frame);
    // Playback reached the last frame, or the source could not go on.
    void ended(const QString &reason);
    void playingChanged(bool playing);

private:
    struct ReadOutcome;
    void startRead(qint64 index);
    void readDone();
    void advance();
    qint64 frameInterval() const;

    std::shared_ptr<PictureSource> source;
    LoadOptions loadOptions;
    QThreadPool readThread;  // one read at a time, never waiting on the detector's pool
    QFutureWatcher<std::shared_ptr<ReadOutcome>> reading;
    quint64 generation = 0;   // of the source: one more each time it is let go
    qint64 nextIndex = 0;     // what the source reads without seeking
    qint64 wanted = -2;       // a frame asked for during a read (-2: none)
    bool playing = false;
    bool waitingForShow = false;  // a frame is out and not yet shown
    QTimer pace;
    qint64 dueAt = 0;         // when the next frame is to be asked for (msec on `clock`)
    QVector<qint64> shownAt;  // msec of the last frames shown while playing
    QElapsedTimer clock;
};

#endif // FRAMEPLAYER_H
