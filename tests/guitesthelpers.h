#ifndef GUITESTHELPERS_H
#define GUITESTHELPERS_H

// Helpers for tests that drive real widgets: answering modal dialogs from a
// timer, and finding the overlay's red outlines in a rendered widget.

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QImage>
#include <QLineEdit>
#include <QPointF>
#include <QPointer>
#include <QRunnable>
#include <QSemaphore>
#include <QSettings>
#include <QString>
#include <QThreadPool>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>
#include <vector>

// Answers the modal dialogs that come up, one handler per dialog in order of
// appearance. A dialog that is still open at the deadline, or a handler
// that never found its dialog, is closed and counted as a failure, so a
// broken test fails instead of hanging in the dialog's event loop.
class ModalResponder : public QObject
{
public:
    using Handler = std::function<void(QWidget *)>;

    explicit ModalResponder(std::vector<Handler> handlers, int deadlineMsec = 15000)
        : handlers(std::move(handlers)), deadlineMsec(deadlineMsec)
    {
        connect(&poll, &QTimer::timeout, this, [this] { check(); });
        poll.start(20);
        clock.start();
    }

    // Every handler has run and no dialog was left open.
    bool succeeded() const { return next == handlers.size() && !timedOut; }

private:
    void check()
    {
        QWidget *modal = QApplication::activeModalWidget();
        const bool fresh = modal && modal->isVisible() && modal != lastAnswered.data();
        if (fresh && next < handlers.size()) {
            lastAnswered = modal;
            handlers[next++](modal);
            return;
        }
        if (clock.elapsed() > deadlineMsec) {
            timedOut = next < handlers.size() || (modal && modal->isVisible());
            if (modal)
                modal->close();
            poll.stop();
        }
    }

    std::vector<Handler> handlers;
    size_t next = 0;
    int deadlineMsec;
    bool timedOut = false;
    QPointer<QWidget> lastAnswered;
    QTimer poll;
    QElapsedTimer clock;
};

// Types the path into the dialog's file-name field and accepts, as a person
// would; the field's text is what the dialog opens.
inline ModalResponder::Handler chooseFile(const QString &path)
{
    return [path](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        QVERIFY(dialog);
        auto *field = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        QVERIFY(field);
        field->clear();
        QTest::keyClicks(field, path);
        QMetaObject::invokeMethod(dialog, "accept");
    };
}

// Holds the only thread of the global pool until released, so that runs
// started meanwhile wait in its queue.
class PoolGate
{
public:
    PoolGate() : pool(QThreadPool::globalInstance()), threads(pool->maxThreadCount())
    {
        pool->waitForDone();
        pool->setMaxThreadCount(1);
        pool->start(QRunnable::create([this] { gate.acquire(); }));
    }
    ~PoolGate()
    {
        release();
        pool->waitForDone();
        pool->setMaxThreadCount(threads);
    }
    void release()
    {
        if (!released)
            gate.release();
        released = true;
    }

private:
    QThreadPool *pool;
    int threads;
    QSemaphore gate;
    bool released = false;
};

// The window keeps its settings in INI files: a test points them at a
// folder of its own, so that it neither reads nor changes the user's, and
// starts each case with none.
inline void keepSettingsIn(const QString &folder)
{
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
}

inline void forgetSettings()
{
    QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("hessian-maxima"),
              QStringLiteral("hessian-maxima"))
        .clear();
}

// The overlay pen is red 250, green 10, blue 10; no picture used by the
// tests comes close to it.
inline bool isOverlayRed(QRgb pixel)
{
    return qRed(pixel) > 200 && qGreen(pixel) < 60 && qBlue(pixel) < 60;
}

// Whether a red pixel lies within `slack` pixels of `point` (widget
// coordinates, real-valued as Qt's mapping gives them).
inline bool redNear(const QImage &shot, const QPointF &point, int slack = 1)
{
    const int cx = (int)std::floor(point.x());
    const int cy = (int)std::floor(point.y());
    for (int y = cy - slack; y <= cy + slack; ++y)
        for (int x = cx - slack; x <= cx + slack; ++x)
            if (shot.valid(x, y) && isOverlayRed(shot.pixel(x, y)))
                return true;
    return false;
}

// The first and the last red pixel of a row between columns `from` and
// `to`: a circle's outer extents on the row through its centre.
struct RedExtents {
    int left;
    int right;
    double centre() const { return (left + right + 1) / 2.0; }
};

inline RedExtents redExtents(const QImage &shot, int row, int from, int to)
{
    RedExtents extents{std::max(from, 0), std::min(to, shot.width() - 1)};
    while (extents.left < extents.right && !isOverlayRed(shot.pixel(extents.left, row)))
        ++extents.left;
    while (extents.right > extents.left && !isOverlayRed(shot.pixel(extents.right, row)))
        --extents.right;
    return extents;
}

inline int countRed(const QImage &shot)
{
    int count = 0;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x)
            count += isOverlayRed(shot.pixel(x, y)) ? 1 : 0;
    return count;
}

#endif // GUITESTHELPERS_H
