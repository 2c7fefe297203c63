#ifndef TIFFDESCRIPTIONS_H
#define TIFFDESCRIPTIONS_H

#include <QByteArray>
#include <QString>

// What the programs that write stacks of pages say of them in the first
// page's description, so that the pages are read as frames of the right
// kind and pages missing from a damaged file are known.

// What ImageJ writes into the description of a TIFF file's first page about
// the pages ("ImageJ=1.53t\nimages=60\nchannels=3\nslices=5\nframes=4\n
// hyperstack=true\nfinterval=0.5\n..."): the pages are the channels of each
// slice of each time point, the channel counting fastest.
struct ImageJStack {
    bool present = false;   // the description is ImageJ's
    qint64 images = 0;      // pages it says the file holds; 0 when not said
    qint64 channels = 1;    // each at least 1
    qint64 slices = 1;
    qint64 frames = 1;      // time points
    // Seconds between time points (finterval in the unit of tunit, seconds
    // when not said); 0 when not said or in a unit not of time.
    double interval = 0.0;
};

// Reads the description; anything not ImageJ's, or a count that is not a
// whole number from 1 to 2^31 - 1, leaves the defaults. Never fails.
ImageJStack parseImageJDescription(const QByteArray &description);

// The frames of the stack: its time points, or its slices when it has a
// single time point; `taken` says what of each frame's pages is read
// ("channel 1 of 3 and slice 1 of 5 of each time point"), empty when all.
// pageOf(frame) is the 0-based page of frame `frame`.
struct ImageJFrames {
    qint64 count = 1;
    qint64 pageStep = 1;   // pages from one frame to the next
    bool timed = false;    // the frames are time points with an interval
    QString taken;
    qint64 pageOf(qint64 frame) const { return frame * pageStep; }
};
ImageJFrames imageJFrames(const ImageJStack &stack);

// What tifffile writes into the description of a TIFF file's first page
// ('{"shape": [6, 120, 160]}'): the shape of the array the file holds.
// The number of pages it says, for pages of `pixels` samples each (width x
// height x samples a pixel): the product of the shape over the product of
// a page, when the shape is a JSON array of whole numbers and divides
// exactly; 0 otherwise.
qint64 shapedPageCount(const QByteArray &description, qint64 pixels);

#endif // TIFFDESCRIPTIONS_H
