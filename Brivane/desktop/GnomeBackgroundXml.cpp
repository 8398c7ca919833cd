#include "Brivane/desktop/GnomeBackgroundXml.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamReader>
#include <cmath>
#include <vector>

namespace brivane {

namespace {

// A background description is a few kilobytes; anything far larger is not one.
constexpr qint64 largestXml = 1 << 20;
constexpr std::size_t mostSlides = 10000;

struct Variant {
    QSize size; // empty: the only file
    QString path;
};

struct Slide {
    double seconds = 0;
    std::vector<Variant> from;
    std::vector<Variant> to; // transitions only
};

QString resolvedPath(const QString& base, const QString& text) {
    const QString name = text.trimmed();
    if (name.isEmpty())
        return {};
    return QDir::isAbsolutePath(name) ? QDir::cleanPath(name) : QDir(base).filePath(name);
}

// <file>name</file> or <file><size width="…" height="…">name</size>…</file>
std::vector<Variant> readFiles(QXmlStreamReader& xml, const QString& base) {
    std::vector<Variant> variants;
    QString text;
    while (xml.readNext() != QXmlStreamReader::Invalid) {
        if (xml.isEndElement())
            break;
        if (xml.isCharacters())
            text += xml.text();
        if (xml.isStartElement() && xml.name() == QLatin1String("size")) {
            const QSize size(xml.attributes().value(QLatin1String("width")).toInt(),
                             xml.attributes().value(QLatin1String("height")).toInt());
            const QString path = resolvedPath(base, xml.readElementText());
            if (!path.isEmpty())
                variants.push_back({size, path});
        } else if (xml.isStartElement()) {
            xml.skipCurrentElement();
        }
    }
    if (variants.empty())
        if (const QString path = resolvedPath(base, text); !path.isEmpty())
            variants.push_back({QSize(), path});
    return variants;
}

QString nearest(const std::vector<Variant>& variants, QSize size) {
    // The smallest variant that covers the screen, else the largest.
    const Variant* best = nullptr;
    const qint64 wanted = qint64(size.width()) * size.height();
    auto area = [](const Variant& v) { return qint64(v.size.width()) * v.size.height(); };
    for (const Variant& v : variants) {
        if (!best) {
            best = &v;
            continue;
        }
        const bool covers = area(v) >= wanted;
        const bool bestCovers = area(*best) >= wanted;
        if ((covers && (!bestCovers || area(v) < area(*best))) ||
            (!covers && !bestCovers && area(v) > area(*best)))
            best = &v;
    }
    return best ? best->path : QString();
}

} // namespace

bool isGnomeBackgroundXml(const QString& path) {
    if (QFileInfo(path).suffix().compare(QLatin1String("xml"), Qt::CaseInsensitive) == 0)
        return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(256).trimmed();
    return head.startsWith("<?xml") || head.startsWith("<background");
}

std::optional<QString> gnomeBackgroundFile(const QString& xmlPath, QSize size,
                                           const QDateTime& now) {
    QFile file(xmlPath);
    if (!file.open(QIODevice::ReadOnly) || file.size() > largestXml)
        return std::nullopt;
    return gnomeBackgroundFile(file.read(largestXml), QFileInfo(xmlPath).absolutePath(), size, now);
}

std::optional<QString> gnomeBackgroundFile(const QByteArray& text, const QString& base, QSize size,
                                           const QDateTime& now) {
    if (text.size() > largestXml)
        return std::nullopt;
    QXmlStreamReader xml(text);
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("background"))
        return std::nullopt;

    QDateTime start;
    std::vector<Slide> slides;
    while (xml.readNextStartElement() && slides.size() < mostSlides) {
        if (xml.name() == QLatin1String("starttime")) {
            int fields[6] = {2000, 1, 1, 0, 0, 0};
            static const char* names[6] = {"year", "month", "day", "hour", "minute", "second"};
            while (xml.readNextStartElement()) {
                const QString value = xml.readElementText();
                for (int i = 0; i < 6; ++i)
                    if (xml.name() == QLatin1String(names[i]))
                        fields[i] = value.trimmed().toInt();
            }
            start = QDateTime(QDate(fields[0], fields[1], fields[2]),
                              QTime(fields[3], fields[4], fields[5]));
        } else if (xml.name() == QLatin1String("static") ||
                   xml.name() == QLatin1String("transition")) {
            Slide slide;
            while (xml.readNextStartElement()) {
                if (xml.name() == QLatin1String("duration"))
                    slide.seconds = xml.readElementText().trimmed().toDouble();
                else if (xml.name() == QLatin1String("file") || xml.name() == QLatin1String("from"))
                    slide.from = readFiles(xml, base);
                else if (xml.name() == QLatin1String("to"))
                    slide.to = readFiles(xml, base);
                else
                    xml.skipCurrentElement();
            }
            if (!slide.from.empty())
                slides.push_back(std::move(slide));
        } else {
            xml.skipCurrentElement();
        }
    }
    if (slides.empty())
        return std::nullopt;

    double cycle = 0;
    for (const Slide& s : slides)
        if (std::isfinite(s.seconds) && s.seconds > 0)
            cycle += s.seconds;
    const Slide* current = &slides.front();
    bool second = false;
    if (cycle > 0 && start.isValid()) {
        double offset = std::fmod(double(start.msecsTo(now)) / 1000.0, cycle);
        if (offset < 0)
            offset += cycle;
        for (const Slide& s : slides) {
            if (!std::isfinite(s.seconds) || s.seconds <= 0)
                continue;
            if (offset < s.seconds) {
                current = &s;
                second = !s.to.empty() && offset >= s.seconds / 2;
                break;
            }
            offset -= s.seconds;
        }
    }
    const QString path = nearest(second ? current->to : current->from, size);
    return path.isEmpty() ? std::nullopt : std::optional<QString>(path);
}

} // namespace brivane
