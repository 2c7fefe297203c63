#include "decodermessages.h"

#include <QtGlobal>

#include <tiffio.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// The capture of this thread, if it has one.
thread_local DecoderMessages *tCapture = nullptr;

// What handled messages before the routes below were installed. Written once,
// before the routes can run on another thread; read by any thread.
std::atomic<QtMessageHandler> previousQtHandler{nullptr};
std::atomic<TIFFErrorHandler> previousTiffWarning{nullptr};
std::atomic<TIFFErrorHandler> previousTiffError{nullptr};

QString oneLine(QString text)
{
    return text.replace(QLatin1Char('\n'), QLatin1Char(' ')).trimmed();
}

} // namespace

struct DecoderMessagesRoute {
    static void keep(DecoderMessages::Message::Source source, const char *category, const QString &text)
    {
        tCapture->messages.append(
            DecoderMessages::Message{source, QString::fromLatin1(category ? category : "default"), oneLine(text)});
    }

    static void qtMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (tCapture && type != QtFatalMsg) {
            keep(DecoderMessages::Message::Qt, context.category, text);
            return;
        }
        if (const QtMessageHandler previous = previousQtHandler.load(std::memory_order_acquire)) {
            previous(type, context, text);
            return;
        }
        // Only in the moment between installing this route and recording the
        // previous handler.
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
    }

    static void tiffMessage(DecoderMessages::Message::Source source, const std::atomic<TIFFErrorHandler> &previous,
                            const char *module, const char *format, va_list arguments)
    {
        if (!tCapture) {
            if (const TIFFErrorHandler handler = previous.load(std::memory_order_acquire))
                handler(module, format, arguments);
            return;
        }
        Q_UNUSED(module);  // a libtiff function's name, of no use to a reader
        char text[512];
        std::vsnprintf(text, sizeof text, format, arguments);
        // Many messages start with the name the file was opened under,
        // which is empty.
        const char *body = std::strncmp(text, ": ", 2) == 0 ? text + 2 : text;
        keep(source, "libtiff", QString::fromLocal8Bit(body));
    }

    static void tiffWarning(const char *module, const char *format, va_list arguments)
    {
        tiffMessage(DecoderMessages::Message::TiffWarning, previousTiffWarning, module, format, arguments);
    }

    static void tiffError(const char *module, const char *format, va_list arguments)
    {
        tiffMessage(DecoderMessages::Message::TiffError, previousTiffError, module, format, arguments);
    }

    // Once per process, on the first capture: the routes stay installed, and
    // pass on everything that is not captured.
    static void install()
    {
        static const bool installed = [] {
            previousQtHandler.store(qInstallMessageHandler(&qtMessage), std::memory_order_release);
            previousTiffWarning.store(TIFFSetWarningHandler(&tiffWarning), std::memory_order_release);
            previousTiffError.store(TIFFSetErrorHandler(&tiffError), std::memory_order_release);
            return true;
        }();
        Q_UNUSED(installed);
    }
};

DecoderMessages::DecoderMessages() : outer(tCapture)
{
    DecoderMessagesRoute::install();
    tCapture = this;
}

DecoderMessages::~DecoderMessages()
{
    tCapture = outer;
}

QVector<DecoderMessages::Message> DecoderMessages::take()
{
    QVector<Message> taken;
    taken.swap(messages);
    return taken;
}
