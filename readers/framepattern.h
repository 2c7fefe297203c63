#ifndef FRAMEPATTERN_H
#define FRAMEPATTERN_H

#include <QString>

// Numbered picture files named by a printf pattern, as FFmpeg names them:
// "frame_%04d.png" stands for frame_0000.png, frame_0001.png, ...; "%d"
// for numbers without leading zeros, "%0Nd" (N from 1 to 9) for numbers of
// at least N digits, "%%" for a percent sign. Exactly one number.
struct FramePattern {
    QString prefix;   // before the number
    QString suffix;   // after it
    int digits = 0;   // %0Nd: N; %d: 0
};

// Reads a pattern; false (and `pattern` left alone) for text that is not
// one: no conversion, more than one, or one other than those above.
bool parseFramePattern(const QString &text, FramePattern *pattern);

// The name of file number `number` (0 or more).
QString framePatternName(const FramePattern &pattern, qint64 number);

// The number of the file `name` when the pattern names it exactly (the
// digits as the pattern writes that number), else false. Numbers have at
// most 18 digits.
bool framePatternNumber(const FramePattern &pattern, const QString &name, qint64 *number);

#endif // FRAMEPATTERN_H
