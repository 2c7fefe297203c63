#ifndef DECODERMESSAGES_H
#define DECODERMESSAGES_H

#include <QString>
#include <QVector>

// What the image decoders say while one thread loads a file. Qt's readers,
// its plug-ins and libjpeg (through Qt) complain through Qt's message
// handler, libtiff through its own handlers, and both print to standard
// error by default: mid-line in the command-line tool's output, and from
// every thread at once when files load in parallel.
//
// While a DecoderMessages lives, the messages of the thread that created it
// are kept in it instead; the messages of every other thread go on, as
// before, to whatever handled them before the first capture. Fatal messages
// always go on.
class DecoderMessages
{
public:
    struct Message {
        enum Source { Qt, TiffWarning, TiffError };
        Source source;
        QString category;  // Qt's logging category ("default" for plain qWarning)
        QString text;      // one line
    };

    DecoderMessages();
    ~DecoderMessages();
    DecoderMessages(const DecoderMessages &) = delete;
    DecoderMessages &operator=(const DecoderMessages &) = delete;

    // Everything captured since the last call, oldest first.
    QVector<Message> take();

private:
    friend struct DecoderMessagesRoute;
    QVector<Message> messages;
    DecoderMessages *outer;
};

#endif // DECODERMESSAGES_H
