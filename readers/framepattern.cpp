#include "framepattern.h"

namespace {

const int kMaxDigits = 18;

} // namespace

bool parseFramePattern(const QString &text, FramePattern *pattern)
{
    FramePattern found;
    bool number = false;
    QString *part = &found.prefix;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c != QLatin1Char('%')) {
            *part += c;
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == QLatin1Char('%')) {
            *part += c;
            ++i;
            continue;
        }
        // %d or %0Nd, once.
        if (number)
            return false;
        int at = i + 1;
        int digits = 0;
        if (at < text.size() && text[at] == QLatin1Char('0')) {
            ++at;
            if (at >= text.size() || text[at] < QLatin1Char('1') || text[at] > QLatin1Char('9'))
                return false;
            digits = text[at].digitValue();
            ++at;
        }
        if (at >= text.size() || text[at] != QLatin1Char('d'))
            return false;
        found.digits = digits;
        number = true;
        part = &found.suffix;
        i = at;
    }
    if (!number)
        return false;
    *pattern = found;
    return true;
}

QString framePatternName(const FramePattern &pattern, qint64 number)
{
    return pattern.prefix + QStringLiteral("%1").arg(number, pattern.digits, 10, QLatin1Char('0')) + pattern.suffix;
}

bool framePatternNumber(const FramePattern &pattern, const QString &name, qint64 *number)
{
    if (name.size() <= pattern.prefix.size() + pattern.suffix.size() || !name.startsWith(pattern.prefix)
        || !name.endsWith(pattern.suffix))
        return false;
    const QString digits = name.mid(pattern.prefix.size(), name.size() - pattern.prefix.size() - pattern.suffix.size());
    if (digits.size() > kMaxDigits)
        return false;
    qint64 value = 0;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + c.digitValue();
    }
    // Only the digits the pattern writes for that number: with %04d,
    // "0012" is 12, "12" and "00012" are other files.
    if (framePatternName(pattern, value) != name)
        return false;
    *number = value;
    return true;
}
