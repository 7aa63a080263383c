#include "Appcast.h"

#include "VersionComparison.h"

#include <QXmlStreamReader>

namespace corvane::platform {

namespace {

const QString thisSystem = QStringLiteral("linux");

struct ItemReading {
    AppcastItem item;
    QString os;
    QString elementVersion;
    QString elementShortVersion;
};

void readEnclosure(const QXmlStreamAttributes &attributes, ItemReading &reading)
{
    AppcastItem &item = reading.item;
    item.fileURL = QUrl(attributes.value(QLatin1String("url")).toString().trimmed());
    bool number = false;
    const qint64 length = attributes.value(QLatin1String("length")).toString().trimmed().toLongLong(&number);
    item.contentLength = number && length >= 0 ? length : -1;
    item.versionString = attributes.value(QLatin1String("sparkle:version")).toString().trimmed();
    item.displayVersionString = attributes.value(QLatin1String("sparkle:shortVersionString")).toString().trimmed();
    item.edSignature = attributes.value(QLatin1String("sparkle:edSignature")).toString().trimmed();
    reading.os = attributes.value(QLatin1String("sparkle:os")).toString().trimmed();
}

// Reads up to the item's end tag.
ItemReading readItem(QXmlStreamReader &reader)
{
    ItemReading reading;
    bool haveEnclosure = false;
    while (reader.readNextStartElement()) {
        const QStringView name = reader.qualifiedName();
        if (name == QLatin1String("title")) {
            reading.item.title = reader.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
        } else if (name == QLatin1String("sparkle:version")) {
            reading.elementVersion = reader.readElementText().trimmed();
        } else if (name == QLatin1String("sparkle:shortVersionString")) {
            reading.elementShortVersion = reader.readElementText().trimmed();
        } else if (name == QLatin1String("enclosure") && !haveEnclosure) {
            haveEnclosure = true;
            readEnclosure(reader.attributes(), reading);
            reader.skipCurrentElement();
        } else {
            reader.skipCurrentElement();
        }
    }
    AppcastItem &item = reading.item;
    if (item.versionString.isEmpty())
        item.versionString = reading.elementVersion;
    if (item.displayVersionString.isEmpty())
        item.displayVersionString = reading.elementShortVersion;
    if (item.displayVersionString.isEmpty())
        item.displayVersionString = item.versionString;
    return reading;
}

} // namespace

Appcast parseAppcast(const QByteArray &xml, const QUrl &feedURL)
{
    Appcast feed;
    QXmlStreamReader reader(xml);
    // Feeds in the wild often use the sparkle: prefix without declaring it.
    reader.setNamespaceProcessing(false);
    if (!reader.readNextStartElement()) {
        feed.error = QStringLiteral("the feed is not XML: %1").arg(reader.errorString());
        return feed;
    }
    if (reader.qualifiedName() != QLatin1String("rss")) {
        feed.error
            = QStringLiteral("the feed is not an RSS feed (its root element is <%1>)").arg(reader.qualifiedName());
        return feed;
    }
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.isStartElement() || reader.qualifiedName() != QLatin1String("item"))
            continue;
        ItemReading reading = readItem(reader);
        if (!reading.os.isEmpty() && reading.os.compare(thisSystem, Qt::CaseInsensitive) != 0)
            continue;
        if (reading.item.versionString.isEmpty() || reading.item.fileURL.isEmpty())
            continue;
        reading.item.fileURL = feedURL.resolved(reading.item.fileURL);
        if (!reading.item.fileURL.isValid())
            continue; // an address that does not parse names no file
        feed.items << reading.item;
    }
    if (reader.hasError()) {
        feed.items.clear();
        feed.error = QStringLiteral("the feed is not well-formed XML: %1 (line %2)")
                         .arg(reader.errorString())
                         .arg(reader.lineNumber());
        return feed;
    }
    feed.ok = true;
    return feed;
}

std::optional<AppcastItem> bestUpdate(const QList<AppcastItem> &items, const QString &currentVersion)
{
    std::optional<AppcastItem> best;
    for (const AppcastItem &item : items) {
        if (compareVersions(item.versionString, currentVersion) <= 0)
            continue;
        if (!best || compareVersions(item.versionString, best->versionString) > 0)
            best = item;
    }
    return best;
}

} // namespace corvane::platform
