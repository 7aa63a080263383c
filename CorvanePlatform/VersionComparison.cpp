#include "VersionComparison.h"

#include <QList>

#include <algorithm>

namespace corvane::platform {

namespace {

struct Part {
    bool numeric = false;
    QString text; // digits without leading zeros, or the letters as written
};

// Dots only separate; every other non-digit run is a label such as "b" or "-rc".
QList<Part> partsOf(const QString &version)
{
    QList<Part> parts;
    int i = 0;
    while (i < version.size()) {
        if (version[i] == QLatin1Char('.')) {
            ++i;
            continue;
        }
        const bool numeric = version[i].isDigit();
        int end = i;
        while (end < version.size() && version[end] != QLatin1Char('.') && version[end].isDigit() == numeric)
            ++end;
        Part part;
        part.numeric = numeric;
        part.text = version.mid(i, end - i);
        if (numeric) {
            while (part.text.size() > 1 && part.text.front() == QLatin1Char('0'))
                part.text.remove(0, 1);
        }
        parts << part;
        i = end;
    }
    return parts;
}

int sign(int value)
{
    return (value > 0) - (value < 0);
}

// Numbers of any length, without leading zeros.
int compareNumbers(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return sign(int(a.size() - b.size()));
    return sign(a.compare(b));
}

// How the parts left over on the longer side weigh against nothing at all.
int weighRest(const QList<Part> &parts, qsizetype from)
{
    for (qsizetype i = from; i < parts.size(); ++i) {
        if (!parts[i].numeric)
            return -1; // a pre-release of what came before
        if (parts[i].text != QLatin1String("0"))
            return 1;
    }
    return 0;
}

} // namespace

int compareVersions(const QString &a, const QString &b)
{
    const QList<Part> left = partsOf(a);
    const QList<Part> right = partsOf(b);
    const qsizetype common = std::min(left.size(), right.size());
    for (qsizetype i = 0; i < common; ++i) {
        const Part &l = left[i];
        const Part &r = right[i];
        if (l.numeric != r.numeric)
            return l.numeric ? 1 : -1; // "1.0.1" is past any "1.0b…"
        const int order = l.numeric ? compareNumbers(l.text, r.text) : sign(l.text.compare(r.text));
        if (order != 0)
            return order;
    }
    if (left.size() > common)
        return weighRest(left, common);
    if (right.size() > common)
        return -weighRest(right, common);
    return 0;
}

} // namespace corvane::platform
